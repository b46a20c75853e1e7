#include "payload/windows_file_name.h"

#include <cstring>

namespace {

// Upper case as Windows folds names in the Western code page: ASCII letters and the accented
// Latin-1 letters (0xE0..0xFE but the division sign).
unsigned char FoldCase(unsigned char c)
{
    if (c >= 'a' && c <= 'z')
        return static_cast<unsigned char>(c - 'a' + 'A');
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return static_cast<unsigned char>(c - 0x20);
    return c;
}

bool EqualsFolded(const char* p, size_t n, const char* pszUpper)
{
    if (n != std::strlen(pszUpper))
        return false;
    for (size_t i = 0; i < n; ++i)
        if (FoldCase(static_cast<unsigned char>(p[i])) != static_cast<unsigned char>(pszUpper[i]))
            return false;
    return true;
}

// CON, PRN, AUX, NUL, COM0..COM9, LPT0..LPT9 (also with the superscript digits 1, 2 and 3 of the
// Western code page), CONIN$ and CONOUT$ name devices whatever extension follows them: writing
// "nul.s3" or "COM3.bmp" would reach the device, not a file.
bool IsDeviceName(const char* pszName, size_t nLength)
{
    size_t nBase = 0;
    while (nBase < nLength && pszName[nBase] != '.')
        ++nBase;
    while (nBase > 0 && pszName[nBase - 1] == ' ')
        --nBase;
    for (const char* pszDevice : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (EqualsFolded(pszName, nBase, pszDevice))
            return true;
    if (nBase == 4 && (EqualsFolded(pszName, 3, "COM") || EqualsFolded(pszName, 3, "LPT"))) {
        const unsigned char d = static_cast<unsigned char>(pszName[3]);
        return (d >= '0' && d <= '9') || d == 0xB9 || d == 0xB2 || d == 0xB3;
    }
    return false;
}

// Windows gives a long name a short (8.3) alias such as SIRFFL~1.EXE, which opens the same
// file: a name whose base holds a tilde and a digit may be another entry's alias.
bool MayBeShortAlias(const char* pszName, size_t nLength)
{
    size_t nBase = nLength;
    while (nBase > 0 && pszName[nBase - 1] != '.')
        --nBase;
    if (nBase == 0)
        nBase = nLength;  // no dot: the whole name is the base
    for (size_t i = 0; i + 1 < nBase; ++i)
        if (pszName[i] == '~' && pszName[i + 1] >= '0' && pszName[i + 1] <= '9')
            return true;
    return false;
}

}  // namespace

const char* WindowsFileNameProblem(const char* pszName, size_t nLength)
{
    if (nLength == 0)
        return "empty name";
    for (size_t i = 0; i < nLength; ++i) {
        const unsigned char c = static_cast<unsigned char>(pszName[i]);
        if (c < 0x20 || std::strchr("<>:\"/\\|?*", c))
            return "holds a character that Windows does not allow in a file name";
    }
    const char chLast = pszName[nLength - 1];
    if (chLast == '.' || chLast == ' ')
        return "ends in a dot or a blank, which Windows drops";
    if (IsDeviceName(pszName, nLength))
        return "is a Windows device name";
    if (MayBeShortAlias(pszName, nLength))
        return "looks like a short (8.3) name, which Windows may take for another entry's file";
    return nullptr;
}

std::string WindowsFileNameKey(const char* pszName, size_t nLength)
{
    while (nLength > 0 && (pszName[nLength - 1] == '.' || pszName[nLength - 1] == ' '))
        --nLength;
    std::string key(pszName, nLength);
    for (char& c : key)
        c = static_cast<char>(FoldCase(static_cast<unsigned char>(c)));
    return key;
}
