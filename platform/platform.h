// The few calls where Win32 and POSIX differ: code-page conversion, file handles, the
// program's location, terminals and interruption. Everything above this layer is portable.
//
// Wide text is wchar_t: UTF-16 on Windows, UTF-32 elsewhere.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// ---- Code pages ----------------------------------------------------------------------------

constexpr unsigned kCodePageSystem = 0;      // the platform's multibyte code page (UTF-8 on POSIX)
constexpr unsigned kCodePageShiftJis = 932;  // Shift-JIS (Windows code page 932)
constexpr unsigned kCodePageUtf8 = 65001;

// Converts byteCount bytes (no terminator implied) to wide characters. With out null, returns
// the number of wide characters the conversion produces; otherwise converts into out (at most
// outCount characters) and returns how many were written. 0 when the code page is unknown or
// nothing can be converted. Invalid byte sequences become U+FFFD; on POSIX the system and UTF-8
// code pages keep each invalid byte instead (see utf8.h), so that WideToMultiByte gives the
// same bytes back and a file name passes through wide text unchanged.
int MultiByteToWide(unsigned codePage, const char* bytes, int byteCount, wchar_t* out,
                    int outCount);

// Converts count wide characters to bytes; the same conventions as MultiByteToWide.
// Characters the code page cannot express become '?'.
int WideToMultiByte(unsigned codePage, const wchar_t* text, int count, char* out, int outCount);

// ---- Files ---------------------------------------------------------------------------------

// An open file. 0 means "no file" on every platform.
using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = 0;

enum class CreateResult {
    Created,
    Exists,  // a file or folder of that name is already there
    Failed,  // any other reason (folder missing, no access, invalid name, ...)
};

enum class SeekFrom { Begin, Current, End };

// LastError() after an open or a create that met something other than a regular file on disk:
// a FIFO, a pipe, or a device such as NUL, CON or COM1. Outside the system's codes on both
// platforms (Windows leaves codes with bit 29 to programs); ErrorText describes it.
constexpr int kErrorNotRegularFile = 0x20000001;

// Opens an existing regular file for reading; others may read it at the same time. A folder,
// FIFO or device is refused at once, without waiting for a writer or touching a port.
FileHandle OpenForRead(const wchar_t* path);
// Creates a regular file for writing, refusing an existing name unless overwrite is set. A name
// that turns out to be a device or the like (NUL.wav on Windows) is closed unwritten and
// answered Exists, so that a caller moves on to another name.
CreateResult CreateForWrite(const wchar_t* path, bool overwrite, FileHandle* handle);
// One read of up to `bytes` bytes; *done is what arrived (0 at the end of the file).
bool Read(FileHandle file, void* buffer, std::uint32_t bytes, std::uint32_t* done);
// Writes all bytes unless an error (disk full, size limit) stops it; *done is what was written.
bool Write(FileHandle file, const void* buffer, std::uint32_t bytes, std::uint32_t* done);
bool Seek(FileHandle file, std::int64_t offset, SeekFrom from, std::uint64_t* newPosition);
bool FileSize(FileHandle file, std::uint64_t* size);
bool Truncate(FileHandle file, std::uint64_t size);
bool Flush(FileHandle file);
void Close(FileHandle file);

// Replaces `to` with `from` in one step (the old `to`, if any, is gone only once `from` has
// taken its place), writing the change through to the disk. False also when the change was
// made but writing it through failed.
bool RenameOver(const wchar_t* from, const wchar_t* to);

// Creates one folder (its parent must exist); true when it was made or a folder of that name
// is already there.
bool CreateFolder(const wchar_t* path);

// A folder for outputs, made with the system's usual permissions when it is missing (its
// parent must exist). NotAFolder when a file, a device or a link (Windows: a reparse point) has
// that name: a link is never followed, so that outputs stay inside the folder chosen.
enum class FolderResult { Ready, NotAFolder, Failed };
FolderResult MakeOutputFolder(const wchar_t* path);

// LastError() after MakeOutputFolder answered NotAFolder; outside the system's codes like
// kErrorNotRegularFile, and described by ErrorText.
constexpr int kErrorNotFolder = 0x20000002;

// Gives `from` the name `to` unless something already has that name (Exists), writing the
// change through to the disk: never replaces a file. Failed for any other reason.
CreateResult RenameNew(const wchar_t* from, const wchar_t* to);

// Opens (creating it when missing) a regular file for reading and writing that no other
// process can hold at the same time: locked on POSIX, opened unshared on Windows. The system
// lets it go when the process ends in any way. kNoFile with *busy set when another process
// holds it; a link or anything but a regular file is refused. DeleteFilePath may remove it
// while it is held.
FileHandle OpenExclusive(const wchar_t* path, bool* busy);

// Whether a new file made beside an existing one could take its place (RenameOver), as far as
// the system tells without anything being written.
enum class Replaceable {
    Yes,
    FolderClosed,  // its folder takes no new file (no write access, a read-only disk)
    ReadOnly,      // the file is read-only (Windows, where such a file is not replaced)
    Protected,     // this user may not remove it (no delete access; a sticky folder's file of
                   // another user)
};
Replaceable CanReplace(const wchar_t* path);

// True when the system takes the path for a device rather than a file on disk: on Windows NUL,
// CON, COM1, LPT1, AUX, PRN and the like, whatever follows the name's first dot ("NUL.tar.wav",
// "con..wav") and also after a folder. A path in the \\.\ or \\?\ form is taken as meant. Never
// on POSIX.
bool NamesDevice(const wchar_t* path);

// True when something (file or folder) of that name exists.
bool PathExists(const wchar_t* path);
bool IsFolder(const wchar_t* path);
bool DeleteFilePath(const wchar_t* path);

// What tells one file from another whatever path reaches it (another spelling, "dir/../a.wav",
// a hard link): the device and inode number on POSIX, the volume serial number and file index
// on Windows.
struct FileId {
    std::uint64_t volume = 0;
    std::uint64_t high = 0;  // the upper half of a 128-bit file index; 0 elsewhere
    std::uint64_t low = 0;
    bool operator==(const FileId& other) const {
        return volume == other.volume && high == other.high && low == other.low;
    }
    bool operator<(const FileId& other) const {
        if (volume != other.volume) return volume < other.volume;
        return high != other.high ? high < other.high : low < other.low;
    }
};
// The identity of the file (or folder) a path names; false when there is none.
bool GetFileId(const wchar_t* path, FileId* id);

// True when a path lies in the folders where the system shows its devices, processes and
// hardware as files (/dev, /proc and /sys on Linux, except /dev/shm, which holds ordinary files
// in memory): as given (made absolute), once resolved, or through the folder that holds it.
// Nothing there is a file to convert or a folder to write beside: /dev/stdin is standard input,
// whatever file it happens to stand for. Always false on Windows, whose devices are refused
// when they are opened.
bool InSystemFolder(const wchar_t* path);

// Makes a new, empty folder of this process's own in the system's folder for temporary files
// ($TMPDIR or /tmp on POSIX, GetTempPath on Windows) and gives its path; false when none could
// be made. DeleteFolder removes an empty folder.
bool MakeTemporaryFolder(std::wstring* path);
bool DeleteFolder(const wchar_t* path);

// The names (without folder) of the files, not folders, that a pattern with '*' or '?' in its
// last part matches, sorted by name with case ignored. On Windows, where the shell passes
// wildcards on as typed, the program expands them itself; POSIX shells have done it, and there
// this gives nothing.
std::vector<std::wstring> MatchingFiles(const wchar_t* pattern);

// ---- Folders -------------------------------------------------------------------------------

enum class EntryKind {
    File,  // a regular file
    Folder,
    Other,  // a device, FIFO, socket, or a link that leads nowhere
};

// One name in a folder: what it is, a link followed, and whether it is a link (on Windows any
// reparse point: a symbolic link or a junction).
struct FolderEntry {
    std::wstring name;
    EntryKind kind = EntryKind::Other;
    bool link = false;
};

// The names in a folder, "." and ".." left out, in the order the system gives them. False when
// the folder cannot be opened or read (no access, gone, not a folder); on POSIX names of any
// bytes come through (see MultiByteToWide), on Windows folders past the classic length limit are
// read in the \\?\ form.
bool ReadFolder(const wchar_t* path, std::vector<FolderEntry>* entries);

// The absolute path of what a path names with every link on the way resolved (realpath on
// POSIX; on Windows the final path of the opened file, in the \\?\ form). False when it leads
// nowhere.
bool ResolvedPath(const wchar_t* path, std::wstring* out);

// The system error code of the last failed call on this thread, and its text (into out,
// NUL-terminated, at most outCount characters).
int LastError();
void ErrorText(int code, wchar_t* out, int outCount);

// The path separator used to join an output path.
constexpr wchar_t kPathSeparator =
#ifdef _WIN32
    L'\\';
#else
    L'/';
#endif

// ---- Process -------------------------------------------------------------------------------

// Full path of the running program, and the process's current folder. Each returns the length
// of the whole path (terminator not counted) and writes it into out only when out has room for
// it and the terminator (outCount > length); a path is never cut. 0 on failure.
int ProgramPath(wchar_t* out, int outCount);
int CurrentFolder(wchar_t* out, int outCount);
// The folder that holds the user's own settings of programs, with the same length rules:
// on Windows the roaming application data (APPDATA when it is an absolute path, else the
// shell's known folder), elsewhere $XDG_CONFIG_HOME when it is an absolute path, else
// $HOME/.config. 0 when there is none. Nothing is created.
int UserConfigFolder(wchar_t* out, int outCount);

// The absolute form of a path as the system resolves it, with the same length rules. On Windows
// this settles a drive-relative name ("Z:take.wav": in the current folder of drive Z:) and drops
// what the system drops (trailing dots and blanks); POSIX has no such forms and gives the path
// back as it is.
int FullPath(const wchar_t* path, wchar_t* out, int outCount);

// ---- Standard streams as bytes -------------------------------------------------------------

// Standard input and output as file handles for binary data (a WAV stream, a results log), in
// binary mode on Windows: no byte is changed on the way. They belong to the process and are
// never closed. A read from a pipe whose writer has gone reads as its end.
FileHandle StandardInput();
FileHandle StandardOutput();
// Whether the handle is a regular file on disk (standard output redirected to a file), not a
// pipe, a terminal or a device.
bool IsRegularFile(FileHandle file);

// ---- Console -------------------------------------------------------------------------------

enum class Stream { Out, Err };

// Whether the stream is a terminal that takes escape sequences (on Windows a console, asked
// to take them).
bool IsTerminal(Stream stream);
// Writes wide text to standard output or standard error. On POSIX as UTF-8. On Windows a
// console gets the wide text itself; a file or a pipe gets it in the active code page (GetACP,
// the system's ANSI code page: ratemill-cli's manifest does not change it), with CR LF line
// ends, as Windows programs write text; characters the code page lacks become '?'.
void WriteText(Stream stream, const wchar_t* text);

// The requests to end the process that stop a batch instead: on POSIX SIGINT (Ctrl-C),
// SIGTERM, SIGHUP (the terminal closed) and SIGPIPE (standard output read by nobody any more);
// on Windows the console's Ctrl-C, Ctrl-Break, close, log-off and shutdown events. The first
// one sets *flag to the exit status that stopping for it means: 128 + the signal's number on
// POSIX (130, 143, 129, 141); on Windows 130 for Ctrl-C and Ctrl-Break, 129 for the console's
// closing, 143 for log-off and shutdown. On POSIX a second SIGINT, SIGTERM or SIGHUP a second
// or more after the first ends the process at once (sooner, it is taken for the first one
// delivered twice, as timeout does); SIGPIPE never does. SIGHUP and SIGPIPE stay ignored when the
// process started with them ignored (nohup). The Windows close, log-off and shutdown events, after
// which the system ends the process within a few seconds, are held until the process ends by
// itself.
void CatchInterrupt(std::atomic<int>* flag);

}  // namespace platform
