#include "engine/job/batch_journal.h"

#include <cstdio>
#include <vector>

#include "base/cstring.h"
#include "base/diagnostic.h"

namespace {

constexpr char kHeader[] = "ratemill batch journal 1 ";
// A journal holds a few lines per source: anything far larger is not one.
constexpr std::uint64_t kMaxJournalBytes = 64ull << 20;

std::uint32_t Checksum(const std::string& text) {
    std::uint32_t hash = 0x811c9dc5u;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x01000193u;
    }
    return hash;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) {
        text.push_back(digits[c >> 4]);
        text.push_back(digits[c & 15]);
    }
    return text;
}

bool FromHex(const std::string& text, std::string* bytes) {
    if (text.size() % 2 != 0) return false;
    bytes->clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int value = 0;
        for (std::size_t k = i; k < i + 2; ++k) {
            const char c = text[k];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : -1;
            if (digit < 0) return false;
            value = value * 16 + digit;
        }
        if (value == 0) return false;  // no name holds a NUL
        bytes->push_back(static_cast<char>(value));
    }
    return !bytes->empty();
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (start <= line.size()) {
        const std::size_t space = line.find(' ', start);
        const std::size_t end = space == std::string::npos ? line.size() : space;
        fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

bool ParseIndex(const std::string& text, int count, int* index) {
    if (text.empty() || text.size() > 9) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value >= count) return false;
    *index = value;
    return true;
}

std::wstring Wide(const std::string& bytes) {
    CString text;
    text.AssignBytes(bytes.data(), static_cast<int>(bytes.size()));
    return std::wstring(text.WideText() != nullptr ? text.WideText() : L"");
}

}  // namespace

void Fingerprint::Add(const void* bytes, std::size_t count) {
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    for (std::size_t i = 0; i < count; ++i) {
        m_hash ^= p[i];
        m_hash *= 0x100000001b3ull;
    }
}

std::string BatchJournal::FileName(std::uint64_t fingerprint) {
    char name[64];
    std::snprintf(name, sizeof name, ".ratemill-batch-%016llx.journal",
                  static_cast<unsigned long long>(fingerprint));
    return name;
}

BatchJournal::~BatchJournal() {
    if (m_file != platform::kNoFile) platform::Close(m_file);
}

bool BatchJournal::Open(const std::string& folder, std::uint64_t fingerprint, int sourceCount) {
    std::string path = folder;
    if (!path.empty() && path.back() != '/' && path.back() != '\\') {
        path.push_back(static_cast<char>(platform::kPathSeparator));
    }
    path += FileName(fingerprint);
    m_path = Wide(path);
    m_count = sourceCount;
    bool busy = false;
    platform::FileHandle file = platform::OpenExclusive(m_path.c_str(), &busy);
    if (file == platform::kNoFile) {
        // A folder that takes no file fails each output on its own; said only when it is held.
        if (busy) {
            DiagnosticPrint(L"batch journal %s: in use by another run of this batch; this run "
                            L"keeps none\n",
                            m_path.c_str());
        }
        return false;
    }
    std::uint64_t size = 0;
    std::string text;
    if (!platform::FileSize(file, &size) || size > kMaxJournalBytes) {
        DiagnosticPrint(L"batch journal %s: not a journal; left alone\n", m_path.c_str());
        platform::Close(file);
        return false;
    }
    text.resize(static_cast<std::size_t>(size));
    std::size_t got = 0;
    while (got < text.size()) {
        std::uint32_t done = 0;
        if (!platform::Read(file, &text[got], static_cast<std::uint32_t>(text.size() - got),
                            &done) ||
            done == 0) {
            break;
        }
        got += done;
    }
    text.resize(got);
    if (text.empty()) {
        // New: the header first.
        m_file = file;
        Append(std::string(kHeader) + std::to_string(sourceCount));
        return true;
    }
    if (!Load(text, sourceCount)) {
        DiagnosticPrint(L"batch journal %s: damaged; not used, and left alone\n", m_path.c_str());
        m_entries.clear();
        platform::Close(file);
        return false;
    }
    DiagnosticPrint(L"batch journal %s: resuming, %d sources recorded\n", m_path.c_str(),
                    static_cast<int>(m_entries.size()));
    m_file = file;
    return true;
}

bool BatchJournal::Load(const std::string& text, int sourceCount) {
    std::size_t start = 0;
    bool header = false;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            // A line cut short by a crash while it was appended: it recorded nothing yet.
            return header;
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const std::size_t lastSpace = line.rfind(' ');
        if (lastSpace == std::string::npos) return false;
        const std::string body = line.substr(0, lastSpace);
        char check[16];
        std::snprintf(check, sizeof check, "%08x", Checksum(body));
        if (line.substr(lastSpace + 1) != check) return false;
        if (!header) {
            if (body != std::string(kHeader) + std::to_string(sourceCount)) return false;
            header = true;
            continue;
        }
        const std::vector<std::string> fields = Fields(body);
        int index = 0;
        if (fields.size() == 4 && fields[0] == "partial" &&
            ParseIndex(fields[1], sourceCount, &index)) {
            Entry& entry = m_entries[index];
            if (!FromHex(fields[2], &entry.partial) || !FromHex(fields[3], &entry.output)) {
                return false;
            }
            entry.done = false;
        } else if (fields.size() == 3 && fields[0] == "done" &&
                   ParseIndex(fields[1], sourceCount, &index)) {
            Entry& entry = m_entries[index];
            if (!FromHex(fields[2], &entry.output)) return false;
            entry.done = true;
        } else {
            return false;
        }
    }
    return header;
}

const BatchJournal::Entry* BatchJournal::Find(int index) const {
    auto found = m_entries.find(index);
    return found != m_entries.end() ? &found->second : nullptr;
}

void BatchJournal::Append(const std::string& body) {
    if (m_file == platform::kNoFile) return;
    char check[16];
    std::snprintf(check, sizeof check, " %08x\n", Checksum(body));
    const std::string line = body + check;
    // One write at the end: a crash leaves at most that line cut short.
    std::uint32_t done = 0;
    if (!platform::Seek(m_file, 0, platform::SeekFrom::End, nullptr) ||
        !platform::Write(m_file, line.data(), static_cast<std::uint32_t>(line.size()), &done)) {
        DiagnosticPrint(L"batch journal %s: cannot be written\n", m_path.c_str());
    }
}

void BatchJournal::RecordPartial(int index, const std::string& partial, const std::string& output) {
    std::lock_guard<std::mutex> lock(m_lock);
    Append("partial " + std::to_string(index) + " " + Hex(partial) + " " + Hex(output));
}

void BatchJournal::RecordDone(int index, const std::string& output) {
    std::lock_guard<std::mutex> lock(m_lock);
    // Not synced to the disk: the system keeps the line however the process ends, and a sync
    // per file would cost more than many a short file's conversion. After a power cut a lost
    // line means that file is converted again.
    Append("done " + std::to_string(index) + " " + Hex(output));
}

void BatchJournal::Remove() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_file == platform::kNoFile) return;
    // Removed while still held, so that no other run opens it in between.
    platform::DeleteFilePath(m_path.c_str());
    platform::Close(m_file);
    m_file = platform::kNoFile;
}
