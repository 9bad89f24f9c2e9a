// Every regular file below a folder, for adding whole folders to a batch.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// A folder met on the walk: its path (the folder as given, then the names on the way) and the
// folders between it and the one walked ("" for that folder itself, "a/b" with the platform's
// separator two levels down).
struct WalkedFolder {
    std::wstring path;
    std::wstring subfolder;
};

// A file found: its folder (an index into FolderWalk::folders) and its name. Only the name is kept
// for each file, so that a walk of 100,000 files stays small.
struct WalkedFile {
    std::uint32_t folder = 0;
    std::wstring name;
};

struct FolderWalk {
    std::vector<WalkedFolder> folders;
    std::vector<WalkedFile> files;
    bool readable = false;      // the folder itself could be read
    int unreadableFolders = 0;  // subfolders that could not be opened or read (no access, gone)
    int linksLeftOut = 0;       // links to outside the folder walked, or back into a folder taken
    bool stopped = false;       // the stop flag ended the walk early

    // The file's path and the folders between it and the folder walked.
    std::wstring PathOf(const WalkedFile& file) const;
    const std::wstring& SubfolderOf(const WalkedFile& file) const {
        return folders[file.folder].subfolder;
    }
};

// Walks a folder and all its subfolders. Each folder's entries are taken in the order of their
// names, compared by character codes (UTF-16 code units on Windows, code points on POSIX),
// its files first, then each subfolder with all that is below it. Only regular files are
// listed: devices, FIFOs and sockets are passed over. A link (on Windows also a junction) is
// followed only when what it leads to lies inside the folder walked, and a folder is entered
// once however many ways lead to it (by device and inode, or volume and file index), so that a
// loop ends. A subfolder that cannot be read is counted and the walk goes on. The stop flag,
// when given, is tested before each folder.
FolderWalk WalkFolder(const wchar_t* folder, const std::atomic<int>* stop = nullptr);
