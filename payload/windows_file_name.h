// Windows' rules for a name that is to become an ordinary file in one directory. Both the
// payload reader and the release packer apply them, so that a release the packer accepts is
// one the updater can extract on Windows, whatever system the release was packed on.
#pragma once

#include <cstddef>
#include <string>

// Why Windows would not store the name as an ordinary file (a device name, a character it does
// not allow, a trailing dot or blank, an empty name, a look-alike of a short 8.3 alias);
// nullptr when it would.
const char* WindowsFileNameProblem(const char* pszName, size_t nLength);

// The form under which Windows compares file names: without case and without trailing dots and
// blanks. Two names with the same key are one file.
std::string WindowsFileNameKey(const char* pszName, size_t nLength);
