#include "media/folder_walk.h"

#include <algorithm>
#include <set>

#include "platform/platform.h"

namespace {

bool EndsWithSeparator(const std::wstring& path) {
    return !path.empty() && (path.back() == L'/' || path.back() == platform::kPathSeparator);
}

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
    return EndsWithSeparator(folder) ? folder + name : folder + platform::kPathSeparator + name;
}

class Walker {
  public:
    Walker(FolderWalk* result, const std::atomic<int>* stop) : m_result(result), m_stop(stop) {}

    bool Start(const std::wstring& folder) {
        if (!platform::ResolvedPath(folder.c_str(), &m_root)) return false;
        if (!EndsWithSeparator(m_root)) m_root += platform::kPathSeparator;
        return true;
    }

    // Walks one folder; false when it could not be read.
    bool Walk(const std::wstring& path, const std::wstring& subfolder) {
        if (m_stop != nullptr && m_stop->load() != 0) {
            m_result->stopped = true;
            return true;
        }
        platform::FileId id;
        if (platform::GetFileId(path.c_str(), &id) && !m_entered.insert(id).second) {
            ++m_result->linksLeftOut;  // reached again: a loop or a second way in
            return true;
        }
        std::vector<platform::FolderEntry> entries;
        if (!platform::ReadFolder(path.c_str(), &entries)) return false;
        std::sort(entries.begin(), entries.end(),
                  [](const platform::FolderEntry& a, const platform::FolderEntry& b) {
                      return a.name < b.name;
                  });
        const auto folder = static_cast<std::uint32_t>(m_result->folders.size());
        m_result->folders.push_back({path, subfolder});
        for (platform::FolderEntry& entry : entries) {
            if (entry.kind != platform::EntryKind::File) continue;
            if (entry.link && !LeadsInside(Join(path, entry.name))) continue;
            m_result->files.push_back({folder, std::move(entry.name)});
        }
        for (const platform::FolderEntry& entry : entries) {
            if (entry.kind != platform::EntryKind::Folder) continue;
            const std::wstring child = Join(path, entry.name);
            if (entry.link && !LeadsInside(child)) continue;
            const std::wstring below =
                subfolder.empty() ? entry.name : subfolder + platform::kPathSeparator + entry.name;
            if (!Walk(child, below)) ++m_result->unreadableFolders;
            if (m_result->stopped) return true;
        }
        return true;
    }

  private:
    // Whether a link's destination lies below the folder walked (the folder itself is not).
    bool LeadsInside(const std::wstring& link) {
        std::wstring resolved;
        const bool inside = platform::ResolvedPath(link.c_str(), &resolved) &&
                            resolved.size() > m_root.size() &&
                            resolved.compare(0, m_root.size(), m_root) == 0;
        if (!inside) ++m_result->linksLeftOut;
        return inside;
    }

    FolderWalk* m_result;
    const std::atomic<int>* m_stop;
    std::wstring m_root;  // resolved, with a separator at the end
    std::set<platform::FileId> m_entered;
};

}  // namespace

std::wstring FolderWalk::PathOf(const WalkedFile& file) const {
    return Join(folders[file.folder].path, file.name);
}

FolderWalk WalkFolder(const wchar_t* folder, const std::atomic<int>* stop) {
    FolderWalk result;
    if (folder == nullptr || folder[0] == 0) return result;
    Walker walker(&result, stop);
    const std::wstring path = folder;
    result.readable = walker.Start(path) && walker.Walk(path, L"");
    return result;
}
