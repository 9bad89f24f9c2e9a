// One path split into folder, file name, base name and extension. A value holder: it does not
// touch the file system, normalise the path or check that the file exists.
#pragma once

#include "base/cstring.h"

class CFileName {
  public:
    CFileName() = default;
    CFileName(const CFileName&) = delete;
    CFileName& operator=(const CFileName&) = delete;
    virtual ~CFileName() = default;

    // Splits a path given in the stored form of a CString (UTF-8 bytes). Called once on a fresh
    // object: pieces the path does not define keep their previous (empty) value. Returns 1, or
    // 0 for a null path, which changes nothing.
    int SetPath(const char* path);
    // The same for wide text.
    int SetPath(const wchar_t* path);

    CString FullPath;   // the path exactly as given
    CString Folder;     // everything before the last separator ('\' or '/')
    CString FileName;   // everything after it
    CString BaseName;   // the file name without its last extension and dot
    CString Extension;  // the text after the last dot of the file name
};

// The full path of a name a user typed (on a command line), to be split by SetPath: on Windows
// a drive-relative name such as Z:take.wav becomes the file it stands for, Z:\folder\take.wav,
// whose pieces make a proper output name; elsewhere the name as it is. The name itself when the
// system gives no full path.
CString FullPathOf(const CString& name);
