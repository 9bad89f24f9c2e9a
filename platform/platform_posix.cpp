// POSIX side of the platform layer: file descriptors, UTF-8 as the system code page, iconv for
// Shift-JIS, /proc/self/exe for the program's path.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/utf8.h"

namespace platform {

namespace {

// Descriptors are stored plus one so that 0 stays "no file".
int Fd(FileHandle file) {
    return static_cast<int>(file - 1);
}
FileHandle Handle(int fd) {
    return static_cast<FileHandle>(fd) + 1;
}

// Path bytes for the system: UTF-8 of the wide path. Returns false when it does not fit.
bool NativePath(const wchar_t* path, char* out, int outCount) {
    if (path == nullptr) return false;
    int length = 0;
    while (path[length] != 0) ++length;
    int bytes = Utf8FromWide(path, length, nullptr, 0);
    if (bytes >= outCount) {
        errno = ENAMETOOLONG;
        return false;
    }
    Utf8FromWide(path, length, out, outCount);
    out[bytes] = 0;
    return true;
}

constexpr int kPathBytes = PATH_MAX * 2;

constexpr char kNotRegularFileText[] = "not a regular file (a device, a pipe or a FIFO)";
constexpr char kNotFolderText[] = "a file, a device or a link has the name of a folder needed";

// Keeps a descriptor opened with O_NONBLOCK when it is a regular file, for blocking use from
// now on; otherwise closes it and sets errno (EISDIR for a folder). A FIFO opened this way has
// not waited for its other end, and is never read or written.
bool KeepRegularFile(int fd) {
    struct stat st;
    int error = 0;
    if (fstat(fd, &st) != 0) {
        error = errno;
    } else if (S_ISDIR(st.st_mode)) {
        error = EISDIR;
    } else if (!S_ISREG(st.st_mode)) {
        error = kErrorNotRegularFile;
    } else {
        int flags = fcntl(fd, F_GETFL);
        if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) error = errno;
    }
    if (error == 0) return true;
    close(fd);
    errno = error;
    return false;
}

// Shift-JIS through iconv, one character at a time where a character cannot be converted, so
// that bad input costs one replacement and never stops the conversion.
int IconvConvert(const char* from, const char* to, const char* in, size_t inBytes, char* out,
                 size_t outBytes, size_t unitBytes, const char* replacement, size_t replBytes) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
    char scratch[256];
    const bool counting = (out == nullptr);
    size_t produced = 0;
    char* inPtr = const_cast<char*>(in);
    size_t inLeft = inBytes;
    while (true) {
        char* outPtr = counting ? scratch : out + produced;
        size_t outLeft = counting ? sizeof scratch : outBytes - produced;
        size_t before = outLeft;
        size_t rc = iconv(cd, inLeft > 0 ? &inPtr : nullptr, &inLeft, &outPtr, &outLeft);
        produced += before - outLeft;
        if (rc != static_cast<size_t>(-1)) {
            if (inLeft == 0) break;
            continue;
        }
        if (errno == E2BIG) {
            if (counting) continue;
            break;  // the caller's buffer is full
        }
        // EILSEQ or EINVAL: replace the offending unit and go on after it.
        if (!counting) {
            if (outBytes - produced < replBytes) break;
            memcpy(out + produced, replacement, replBytes);
        }
        produced += replBytes;
        size_t skip = inLeft < unitBytes ? inLeft : unitBytes;
        inPtr += skip;
        inLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (inLeft == 0) break;
    }
    iconv_close(cd);
    return static_cast<int>(produced);
}

// The folder part of a native path: "." without a slash, "/" for a name in the root.
std::string FolderOf(const char* native) {
    std::string folder(native);
    size_t slash = folder.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
}

std::atomic<int>* interruptFlag = nullptr;
std::atomic<long long> firstInterruptAt{0};

long long MonotonicMilliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void OnInterrupt(int number) {
    int none = 0;
    if (interruptFlag != nullptr && interruptFlag->compare_exchange_strong(none, 128 + number)) {
        firstInterruptAt.store(MonotonicMilliseconds());
        return;
    }
    // A closed pipe is met again at each write while the batch stops; only the others are
    // asked twice on purpose. The second ends the process as the signal itself would have.
    if (number == SIGPIPE) return;
    // One request often comes twice: timeout signals the program and then its process group,
    // a closed terminal hangs up the group as the shell passes it on, and in a process with
    // several threads the two are not merged. What comes within a second of the first is
    // taken for the same request.
    long long first = firstInterruptAt.load();
    if (first == 0 || MonotonicMilliseconds() - first < 1000) return;
    signal(number, SIG_DFL);
    raise(number);
}

// "/dev", "/proc" or "/sys", or a path below one of them, but not /dev/shm and below.
bool IsSystemPath(const std::string& path) {
    auto within = [&path](const char* folder) {
        const std::size_t n = strlen(folder);
        return path.compare(0, n, folder) == 0 && (path.size() == n || path[n] == '/');
    };
    if (within("/dev/shm")) return false;
    return within("/dev") || within("/proc") || within("/sys");
}

// The absolute form of a path with ".", ".." and repeated slashes settled by the text alone.
std::string LexicalAbsolute(const std::string& path) {
    std::string whole = path;
    if (path.empty() || path[0] != '/') {
        char folder[kPathBytes];
        if (getcwd(folder, sizeof folder) == nullptr) return path;
        whole = std::string(folder) + "/" + path;
    }
    std::vector<std::string> parts;
    for (std::size_t start = 0; start <= whole.size();) {
        std::size_t end = whole.find('/', start);
        if (end == std::string::npos) end = whole.size();
        const std::string part = whole.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string result;
    for (const std::string& part : parts) result += "/" + part;
    return result.empty() ? "/" : result;
}

bool ResolvesIntoSystem(const char* path) {
    char resolved[PATH_MAX];
    return realpath(path, resolved) != nullptr && IsSystemPath(resolved);
}

}  // namespace

int MultiByteToWide(unsigned codePage, const char* bytes, int byteCount, wchar_t* out,
                    int outCount) {
    if (bytes == nullptr || byteCount <= 0) return 0;
    if (codePage == kCodePageSystem || codePage == kCodePageUtf8) {
        return Utf8ToWide(bytes, byteCount, out, outCount);
    }
    if (codePage != kCodePageShiftJis) return 0;
    const wchar_t replacement = 0xFFFD;
    // Shift-JIS lead bytes take their trail byte with them when the pair is invalid.
    int n = IconvConvert("CP932", "WCHAR_T", bytes, static_cast<size_t>(byteCount),
                         reinterpret_cast<char*>(out),
                         out ? static_cast<size_t>(outCount) * sizeof(wchar_t) : 0, 1,
                         reinterpret_cast<const char*>(&replacement), sizeof replacement);
    return n < 0 ? 0 : n / static_cast<int>(sizeof(wchar_t));
}

int WideToMultiByte(unsigned codePage, const wchar_t* text, int count, char* out, int outCount) {
    if (text == nullptr || count <= 0) return 0;
    if (codePage == kCodePageSystem || codePage == kCodePageUtf8) {
        return Utf8FromWide(text, count, out, outCount);
    }
    if (codePage != kCodePageShiftJis) return 0;
    int n = IconvConvert("WCHAR_T", "CP932", reinterpret_cast<const char*>(text),
                         static_cast<size_t>(count) * sizeof(wchar_t), out,
                         out ? static_cast<size_t>(outCount) : 0, sizeof(wchar_t), "?", 1);
    return n < 0 ? 0 : n;
}

FileHandle OpenForRead(const wchar_t* path) {
    char native[kPathBytes];
    if (!NativePath(path, native, sizeof native)) return kNoFile;
    int fd = open(native, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 || !KeepRegularFile(fd)) return kNoFile;
    return Handle(fd);
}

CreateResult CreateForWrite(const wchar_t* path, bool overwrite, FileHandle* handle) {
    *handle = kNoFile;
    char native[kPathBytes];
    if (!NativePath(path, native, sizeof native)) return CreateResult::Failed;
    // O_EXCL makes a new regular file or fails, also on a symbolic link; with overwrite the name
    // may be a FIFO or a device, which O_NONBLOCK keeps from waiting and the check refuses.
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | (overwrite ? O_TRUNC : O_EXCL);
    int fd = open(native, flags, 0666);
    if (fd < 0) {
        // Only "the name is taken" lets the caller try another name.
        int saved = errno;
        struct stat st;
        bool exists = saved == EEXIST || (!overwrite && lstat(native, &st) == 0);
        errno = saved;
        return exists ? CreateResult::Exists : CreateResult::Failed;
    }
    if (!KeepRegularFile(fd)) return CreateResult::Exists;
    *handle = Handle(fd);
    return CreateResult::Created;
}

bool Read(FileHandle file, void* buffer, std::uint32_t bytes, std::uint32_t* done) {
    *done = 0;
    while (true) {
        ssize_t n = read(Fd(file), buffer, bytes);
        if (n >= 0) {
            *done = static_cast<std::uint32_t>(n);
            return true;
        }
        if (errno != EINTR) return false;
    }
}

bool Write(FileHandle file, const void* buffer, std::uint32_t bytes, std::uint32_t* done) {
    *done = 0;
    const char* p = static_cast<const char*>(buffer);
    while (*done < bytes) {
        ssize_t n = write(Fd(file), p + *done, bytes - *done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        *done += static_cast<std::uint32_t>(n);
    }
    return true;
}

bool Seek(FileHandle file, std::int64_t offset, SeekFrom from, std::uint64_t* newPosition) {
    int whence = from == SeekFrom::Begin     ? SEEK_SET
                 : from == SeekFrom::Current ? SEEK_CUR
                                             : SEEK_END;
    off_t pos = lseek(Fd(file), static_cast<off_t>(offset), whence);
    if (pos < 0) return false;
    if (newPosition != nullptr) *newPosition = static_cast<std::uint64_t>(pos);
    return true;
}

bool FileSize(FileHandle file, std::uint64_t* size) {
    struct stat st;
    if (fstat(Fd(file), &st) != 0) return false;
    *size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool Truncate(FileHandle file, std::uint64_t size) {
    return ftruncate(Fd(file), static_cast<off_t>(size)) == 0;
}

bool Flush(FileHandle file) {
    return fsync(Fd(file)) == 0;
}

void Close(FileHandle file) {
    if (file != kNoFile) close(Fd(file));
}

bool RenameOver(const wchar_t* from, const wchar_t* to) {
    char nativeFrom[kPathBytes], nativeTo[kPathBytes];
    if (!NativePath(from, nativeFrom, sizeof nativeFrom) ||
        !NativePath(to, nativeTo, sizeof nativeTo) || rename(nativeFrom, nativeTo) != 0) {
        return false;
    }
    // Make the new directory entry durable too. A folder that cannot be opened, or a file
    // system that does not sync folders, leaves it to the system; an error of the sync itself
    // means the change may not have reached the disk.
    int fd = open(FolderOf(nativeTo).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    const bool synced = fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP;
    const int saved = errno;
    close(fd);
    errno = saved;
    return synced;
}

bool CreateFolder(const wchar_t* path) {
    char native[kPathBytes];
    if (!NativePath(path, native, sizeof native)) return false;
    // User settings are private: the folder is the user's alone (as ~/.config should be).
    if (mkdir(native, 0700) == 0) return true;
    const int saved = errno;
    struct stat st;
    const bool folder = saved == EEXIST && stat(native, &st) == 0 && S_ISDIR(st.st_mode);
    errno = saved;
    return folder;
}

FolderResult MakeOutputFolder(const wchar_t* path) {
    char native[kPathBytes];
    if (!NativePath(path, native, sizeof native)) return FolderResult::Failed;
    if (mkdir(native, 0777) == 0) return FolderResult::Ready;
    const int saved = errno;
    struct stat st;
    if (saved != EEXIST || lstat(native, &st) != 0) {
        errno = saved;
        return FolderResult::Failed;
    }
    if (S_ISDIR(st.st_mode)) return FolderResult::Ready;
    errno = kErrorNotFolder;
    return FolderResult::NotAFolder;
}

CreateResult RenameNew(const wchar_t* from, const wchar_t* to) {
    char nativeFrom[kPathBytes], nativeTo[kPathBytes];
    if (!NativePath(from, nativeFrom, sizeof nativeFrom) ||
        !NativePath(to, nativeTo, sizeof nativeTo)) {
        return CreateResult::Failed;
    }
    // A rename that refuses a taken name in one step; file systems without it get a hard link
    // (which refuses one too) and the old name removed.
    bool renamed = renameat2(AT_FDCWD, nativeFrom, AT_FDCWD, nativeTo, RENAME_NOREPLACE) == 0;
    if (!renamed && errno != EEXIST) {
        if (link(nativeFrom, nativeTo) != 0) {
            return errno == EEXIST ? CreateResult::Exists : CreateResult::Failed;
        }
        unlink(nativeFrom);
        renamed = true;
    }
    // The folder is not synced: a sync per output costs more than a short file's conversion.
    return renamed ? CreateResult::Created : CreateResult::Exists;
}

FileHandle OpenExclusive(const wchar_t* path, bool* busy) {
    *busy = false;
    char native[kPathBytes];
    if (!NativePath(path, native, sizeof native)) return kNoFile;
    int fd = open(native, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0 || !KeepRegularFile(fd)) return kNoFile;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *busy = errno == EWOULDBLOCK;
        close(fd);
        return kNoFile;
    }
    return Handle(fd);
}

Replaceable CanReplace(const wchar_t* path) {
    char native[kPathBytes];
    if (!NativePath(path, native, sizeof native)) return Replaceable::Yes;
    // A rename needs only the folder's write access, whatever the file's own permissions;
    // access() also answers for root and for a read-only file system.
    const std::string folder = FolderOf(native);
    if (access(folder.c_str(), W_OK | X_OK) != 0) return Replaceable::FolderClosed;
    // In a sticky folder (/tmp) only the file's owner, the folder's owner or root may replace it.
    struct stat dir, file;
    const uid_t user = geteuid();
    if (user != 0 && stat(folder.c_str(), &dir) == 0 && (dir.st_mode & S_ISVTX) != 0 &&
        lstat(native, &file) == 0 && file.st_uid != user && dir.st_uid != user) {
        return Replaceable::Protected;
    }
    return Replaceable::Yes;
}

bool NamesDevice(const wchar_t*) {
    return false;
}

bool PathExists(const wchar_t* path) {
    char native[kPathBytes];
    struct stat st;
    return NativePath(path, native, sizeof native) && lstat(native, &st) == 0;
}

bool IsFolder(const wchar_t* path) {
    char native[kPathBytes];
    struct stat st;
    return NativePath(path, native, sizeof native) && stat(native, &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeTemporaryFolder(std::wstring* path) {
    const char* base = getenv("TMPDIR");
    std::string pattern = base != nullptr && base[0] == '/' ? base : "/tmp";
    pattern += "/ratemill-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    if (mkdtemp(name.data()) == nullptr) return false;
    const int length = static_cast<int>(strlen(name.data()));
    std::vector<wchar_t> wide(static_cast<std::size_t>(length) + 1);
    const int n = Utf8ToWide(name.data(), length, wide.data(), length + 1);
    path->assign(wide.data(), static_cast<std::size_t>(n));
    return true;
}

bool DeleteFolder(const wchar_t* path) {
    char native[kPathBytes];
    return NativePath(path, native, sizeof native) && rmdir(native) == 0;
}

FileHandle StandardInput() {
    return Handle(0);
}

FileHandle StandardOutput() {
    return Handle(1);
}

bool IsRegularFile(FileHandle file) {
    struct stat st;
    return fstat(Fd(file), &st) == 0 && S_ISREG(st.st_mode);
}

bool DeleteFilePath(const wchar_t* path) {
    char native[kPathBytes];
    return NativePath(path, native, sizeof native) && unlink(native) == 0;
}

bool GetFileId(const wchar_t* path, FileId* id) {
    char native[kPathBytes];
    struct stat st;
    if (!NativePath(path, native, sizeof native) || stat(native, &st) != 0) return false;
    id->volume = static_cast<std::uint64_t>(st.st_dev);
    id->high = 0;
    id->low = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

bool InSystemFolder(const wchar_t* path) {
    char native[kPathBytes];
    if (!NativePath(path, native, sizeof native)) return false;
    const std::string given(native);
    if (IsSystemPath(LexicalAbsolute(given))) return true;
    // A link that leads there, or a folder that does (a link to /dev named like any folder).
    if (ResolvesIntoSystem(native)) return true;
    const std::size_t slash = given.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : given.substr(0, slash);
    return ResolvesIntoSystem(folder.c_str());
}

namespace {

std::string NativeString(const wchar_t* path) {
    int length = 0;
    while (path[length] != 0) ++length;
    std::string bytes(static_cast<std::size_t>(Utf8FromWide(path, length, nullptr, 0)), '\0');
    Utf8FromWide(path, length, &bytes[0], static_cast<int>(bytes.size()));
    return bytes;
}

std::wstring WideString(const char* bytes, std::size_t count) {
    const int n = static_cast<int>(count);
    std::wstring wide(static_cast<std::size_t>(Utf8ToWide(bytes, n, nullptr, 0)), L'\0');
    Utf8ToWide(bytes, n, &wide[0], static_cast<int>(wide.size()));
    return wide;
}

EntryKind KindOf(mode_t mode) {
    return S_ISREG(mode) ? EntryKind::File : S_ISDIR(mode) ? EntryKind::Folder : EntryKind::Other;
}

}  // namespace

bool ReadFolder(const wchar_t* path, std::vector<FolderEntry>* entries) {
    if (path == nullptr) return false;
    const std::string folder = NativeString(path);
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return false;
    const int dirFd = dirfd(dir);
    errno = 0;
    bool ok = true;
    while (const dirent* found = readdir(dir)) {
        const char* name = found->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        FolderEntry entry;
        entry.name = WideString(name, strlen(name));
        // The type the folder records spares a call per file; a link is followed for what it
        // leads to.
        unsigned char type = found->d_type;
        struct stat st;
        if (type == DT_UNKNOWN) {
            type = fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 ? DT_UNKNOWN
                   : S_ISLNK(st.st_mode)                               ? DT_LNK
                   : S_ISREG(st.st_mode)                               ? DT_REG
                   : S_ISDIR(st.st_mode)                               ? DT_DIR
                                                                       : DT_FIFO;
        }
        if (type == DT_LNK) {
            entry.link = true;
            entry.kind = fstatat(dirFd, name, &st, 0) == 0 ? KindOf(st.st_mode) : EntryKind::Other;
        } else {
            entry.kind = type == DT_REG   ? EntryKind::File
                         : type == DT_DIR ? EntryKind::Folder
                                          : EntryKind::Other;
        }
        entries->push_back(std::move(entry));
        errno = 0;
    }
    if (errno != 0) ok = false;
    closedir(dir);
    return ok;
}

bool ResolvedPath(const wchar_t* path, std::wstring* out) {
    if (path == nullptr) return false;
    char* resolved = realpath(NativeString(path).c_str(), nullptr);
    if (resolved == nullptr) return false;
    *out = WideString(resolved, strlen(resolved));
    free(resolved);
    return true;
}

std::vector<std::wstring> MatchingFiles(const wchar_t*) {
    return {};
}

int LastError() {
    return errno;
}

void ErrorText(int code, wchar_t* out, int outCount) {
    if (out == nullptr || outCount <= 0) return;
    const char* text = code == kErrorNotRegularFile ? kNotRegularFileText
                       : code == kErrorNotFolder    ? kNotFolderText
                                                    : strerror(code);
    int n = Utf8ToWide(text, static_cast<int>(strlen(text)), out, outCount - 1);
    out[n] = 0;
}

namespace {

// Hands a UTF-8 path over with the length rules of ProgramPath.
int GiveWide(const char* native, int bytes, wchar_t* out, int outCount) {
    int length = Utf8ToWide(native, bytes, nullptr, 0);
    if (out == nullptr || length >= outCount) return length;
    Utf8ToWide(native, bytes, out, outCount);
    out[length] = 0;
    return length;
}

}  // namespace

int ProgramPath(wchar_t* out, int outCount) {
    char native[kPathBytes];
    ssize_t n = readlink("/proc/self/exe", native, sizeof native);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof native)) return 0;
    return GiveWide(native, static_cast<int>(n), out, outCount);
}

int CurrentFolder(wchar_t* out, int outCount) {
    char native[kPathBytes];
    if (getcwd(native, sizeof native) == nullptr) return 0;
    return GiveWide(native, static_cast<int>(strlen(native)), out, outCount);
}

int UserConfigFolder(wchar_t* out, int outCount) {
    const char* config = getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') {
        return GiveWide(config, static_cast<int>(strlen(config)), out, outCount);
    }
    const char* home = getenv("HOME");
    if (home == nullptr || home[0] != '/') return 0;
    std::string folder(home);
    if (folder.back() != '/') folder += '/';
    folder += ".config";
    return GiveWide(folder.c_str(), static_cast<int>(folder.size()), out, outCount);
}

int FullPath(const wchar_t* path, wchar_t* out, int outCount) {
    if (path == nullptr) return 0;
    int length = 0;
    while (path[length] != 0) ++length;
    if (out != nullptr && length < outCount) {
        for (int i = 0; i <= length; ++i) out[i] = path[i];
    }
    return length;
}

bool IsTerminal(Stream stream) {
    return isatty(stream == Stream::Out ? 1 : 2) == 1;
}

void WriteText(Stream stream, const wchar_t* text) {
    if (text == nullptr) return;
    int length = 0;
    while (text[length] != 0) ++length;
    char buffer[1024];
    int fd = stream == Stream::Out ? 1 : 2;
    // Convert in slices so that long texts need no allocation.
    for (int start = 0; start < length;) {
        int take = length - start < 200 ? length - start : 200;
        int n = Utf8FromWide(text + start, take, buffer, sizeof buffer);
        for (int off = 0; off < n;) {
            ssize_t w = write(fd, buffer + off, static_cast<size_t>(n - off));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return;
            off += static_cast<int>(w);
        }
        start += take;
    }
}

void CatchInterrupt(std::atomic<int>* flag) {
    interruptFlag = flag;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        // nohup's ignored hangup is kept, and an ignored SIGPIPE: the writes then fail instead.
        struct sigaction before;
        if ((number == SIGHUP || number == SIGPIPE) && sigaction(number, nullptr, &before) == 0 &&
            before.sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(number, &action, nullptr);
    }
}

}  // namespace platform
