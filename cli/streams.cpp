#include "cli/streams.h"

#include <cstdint>
#include <memory>

namespace {

constexpr std::uint32_t kCopyBlock = 1 << 16;

bool IsUtf8(const std::string& bytes) {
    const std::size_t n = bytes.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        const int follow = c < 0x80             ? 0
                           : (c & 0xE0) == 0xC0 ? 1
                           : (c & 0xF0) == 0xE0 ? 2
                           : (c & 0xF8) == 0xF0 ? 3
                                                : -1;
        if (follow < 0 || (follow == 1 && c < 0xC2) || i + static_cast<std::size_t>(follow) >= n)
            return false;
        for (int k = 1; k <= follow; ++k) {
            if ((static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]) & 0xC0) != 0x80)
                return false;
        }
        i += static_cast<std::size_t>(follow) + 1;
    }
    return true;
}

CString NameFrom(const std::string& bytes, unsigned codePage) {
    const int count = static_cast<int>(bytes.size());
    const int length = platform::MultiByteToWide(codePage, bytes.data(), count, nullptr, 0);
    std::unique_ptr<wchar_t[]> wide(new wchar_t[static_cast<std::size_t>(length) + 1]);
    const int made = platform::MultiByteToWide(codePage, bytes.data(), count, wide.get(), length);
    wide[static_cast<std::size_t>(made)] = 0;
    return CString(wide.get());
}

}  // namespace

std::vector<CString> SplitNameList(const std::string& bytes, bool nul) {
    std::string text = bytes;
    // A byte order mark that a Windows editor put first is not part of the first name.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    unsigned codePage = platform::kCodePageUtf8;
#ifdef _WIN32
    if (!IsUtf8(text)) codePage = platform::kCodePageSystem;
#else
    (void)IsUtf8;
#endif
    std::vector<CString> names;
    const char end = nul ? '\0' : '\n';
    for (std::size_t at = 0; at < text.size();) {
        std::size_t stop = text.find(end, at);
        if (stop == std::string::npos) stop = text.size();
        std::string name = text.substr(at, stop - at);
        if (!nul && !name.empty() && name.back() == '\r') name.pop_back();
        if (!name.empty()) names.push_back(NameFrom(name, codePage));
        at = stop + 1;
    }
    return names;
}

bool ReadNameList(const CString& path, std::string* bytes, int* systemError) {
    CString name;
    name.AssignString(path);
    const bool standardInput = name.Equals(L"-");
    platform::FileHandle file =
        standardInput ? platform::StandardInput() : platform::OpenForRead(name.WideText());
    if (file == platform::kNoFile) {
        *systemError = platform::LastError();
        return false;
    }
    std::unique_ptr<char[]> block(new char[kCopyBlock]);
    bool ok = true;
    while (true) {
        std::uint32_t got = 0;
        if (!platform::Read(file, block.get(), kCopyBlock, &got)) {
            *systemError = platform::LastError();
            ok = false;
            break;
        }
        if (got == 0) break;
        bytes->append(block.get(), got);
    }
    if (!standardInput) platform::Close(file);
    return ok;
}

namespace {

// Copies from in to out until in ends, a read or write fails or the stop flag (when given) is
// set.
CopyEnd Copy(platform::FileHandle in, platform::FileHandle out, const std::atomic<int>* stopFlag,
             int* systemError) {
    std::unique_ptr<char[]> block(new char[kCopyBlock]);
    while (stopFlag == nullptr || stopFlag->load() == 0) {
        std::uint32_t got = 0, done = 0;
        if (!platform::Read(in, block.get(), kCopyBlock, &got)) {
            *systemError = platform::LastError();
            return CopyEnd::ReadFailed;
        }
        if (got == 0) return CopyEnd::Done;
        if (!platform::Write(out, block.get(), got, &done)) {
            *systemError = platform::LastError();
            return CopyEnd::WriteFailed;
        }
    }
    return CopyEnd::Stopped;
}

}  // namespace

CopyEnd CopyStandardInputTo(const CString& path, const std::atomic<int>& stopFlag,
                            int* systemError) {
    CString name;
    name.AssignString(path);
    platform::FileHandle out = platform::kNoFile;
    if (platform::CreateForWrite(name.WideText(), false, &out) != platform::CreateResult::Created) {
        *systemError = platform::LastError();
        return CopyEnd::WriteFailed;
    }
    CopyEnd end = Copy(platform::StandardInput(), out, &stopFlag, systemError);
    platform::Close(out);
    return end;
}

CopyEnd CopyToStandardOutput(const CString& path, int* systemError) {
    CString name;
    name.AssignString(path);
    platform::FileHandle in = platform::OpenForRead(name.WideText());
    if (in == platform::kNoFile) {
        *systemError = platform::LastError();
        return CopyEnd::ReadFailed;
    }
    const CopyEnd end = Copy(in, platform::StandardOutput(), nullptr, systemError);
    platform::Close(in);
    return end;
}

bool WriteStandardOutput(const std::string& bytes, int* systemError) {
    std::uint32_t done = 0;
    if (platform::Write(platform::StandardOutput(), bytes.data(),
                        static_cast<std::uint32_t>(bytes.size()), &done)) {
        return true;
    }
    *systemError = platform::LastError();
    return false;
}
