// The portable half of our small MFC-like layer: CString and CFile, holding only what the
// program calls. The Win32 half (windows, dialogs, GDI) lives in afxwin.h.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#ifndef BOOL
typedef int BOOL;
#endif
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Narrow string in the system code page, as MFC's CString in an ANSI build.
class CString {
public:
    CString() = default;
    CString(const char* psz) : m_str(psz ? psz : "") {}
    CString(const char* pch, int nLength) : m_str(pch, nLength > 0 ? size_t(nLength) : 0) {}
    CString(const std::string& s) : m_str(s) {}
    CString(char ch, int nRepeat = 1) : m_str(nRepeat > 0 ? size_t(nRepeat) : 0, ch) {}

    int GetLength() const { return int(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }

    char GetAt(int i) const { return m_str.at(size_t(i)); }
    char operator[](int i) const { return GetAt(i); }
    void SetAt(int i, char ch) { m_str.at(size_t(i)) = ch; }

    operator const char*() const { return m_str.c_str(); }
    const char* GetString() const { return m_str.c_str(); }
    const std::string& str() const { return m_str; }

    CString& operator=(const char* psz)
    {
        m_str = psz ? psz : "";
        return *this;
    }
    CString& operator+=(const CString& s)
    {
        m_str += s.m_str;
        return *this;
    }
    CString& operator+=(const char* psz)
    {
        if (psz)
            m_str += psz;
        return *this;
    }
    CString& operator+=(char ch)
    {
        m_str += ch;
        return *this;
    }

    friend CString operator+(const CString& a, const CString& b) { return CString(a.m_str + b.m_str); }
    friend CString operator+(const CString& a, const char* b) { return CString(a.m_str + (b ? b : "")); }
    friend CString operator+(const char* a, const CString& b) { return CString((a ? a : "") + b.m_str); }
    friend CString operator+(const CString& a, char b) { return CString(a.m_str + b); }

    friend bool operator==(const CString& a, const CString& b) { return a.m_str == b.m_str; }
    friend bool operator==(const CString& a, const char* b) { return a.m_str == (b ? b : ""); }
    friend bool operator==(const char* a, const CString& b) { return b == a; }
    friend bool operator!=(const CString& a, const CString& b) { return !(a == b); }
    friend bool operator!=(const CString& a, const char* b) { return !(a == b); }
    friend bool operator<(const CString& a, const CString& b) { return a.m_str < b.m_str; }

    // printf-style formatting; replaces the content.
    void Format(const char* pszFormat, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    void FormatV(const char* pszFormat, va_list args);

    CString Left(int nCount) const;
    CString Right(int nCount) const;
    CString Mid(int nFirst) const;
    CString Mid(int nFirst, int nCount) const;
    int Find(char ch, int nStart = 0) const;
    int Find(const char* pszSub, int nStart = 0) const;
    int ReverseFind(char ch) const;
    CString& MakeLower();  // ASCII letters only, as the program's names need
    CString& MakeUpper();

    // Writable buffer of at least nMinBufLength characters plus a terminator, for APIs that
    // write into the string (CreateProcessA's command line). ReleaseBuffer(-1) takes the length
    // up to the first NUL.
    char* GetBuffer(int nMinBufLength = 0);
    void ReleaseBuffer(int nNewLength = -1);

private:
    std::string m_str;
};

// Thrown by CFile when an operation fails after the file was opened. Thrown by value.
class CFileException {
public:
    enum Cause {
        none = 0,
        genericException,
        fileNotFound,
        badPath,
        tooManyOpenFiles,
        accessDenied,
        invalidFile,
        removeCurrentDir,
        directoryFull,
        badSeek,
        hardIO,
        sharingViolation,
        lockViolation,
        diskFull,
        endOfFile
    };

    CFileException(int cause = none, long lOsError = -1, const CString& strFileName = CString())
        : m_cause(cause), m_lOsError(lOsError), m_strFileName(strFileName)
    {
    }

    int m_cause;
    long m_lOsError;
    CString m_strFileName;
};

// A file opened for reading or writing; raw, unbuffered, like MFC's CFile.
class CFile {
public:
    enum OpenFlags : unsigned {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareCompat = 0x0000,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeNoInherit = 0x0080,
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000,
    };
    enum SeekPosition { begin = 0, current = 1, end = 2 };

    CFile();
    // Opens or throws CFileException.
    CFile(const char* pszFileName, unsigned nOpenFlags);
    virtual ~CFile();  // closes without throwing

    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Returns FALSE (and fills *pError when given) instead of throwing.
    BOOL Open(const char* pszFileName, unsigned nOpenFlags, CFileException* pError = nullptr);
    // Creates pszFileName for writing only when nothing of that name exists, a link included,
    // which is never followed: *pbExisted tells that failure.
    BOOL OpenNew(const char* pszFileName, CFileException* pError = nullptr, bool* pbExisted = nullptr);
    // Creates for writing the first free name pszPrefix<n>pszSuffix (n from 1): a file of this
    // call's own, named by GetFilePath().
    BOOL OpenNewTemporary(const char* pszPrefix, const char* pszSuffix, CFileException* pError = nullptr);
    // Opens the running program's own file for reading: on Windows by the wide path Windows
    // started it from, so that no look-alike the ANSI code page makes of its name is read.
    BOOL OpenModuleFile(CFileException* pError = nullptr);
    // Each of these throws CFileException on failure.
    uint64_t Seek(int64_t lOff, unsigned nFrom);
    uint64_t SeekToEnd() { return Seek(0, end); }
    void SeekToBegin() { Seek(0, begin); }
    unsigned Read(void* lpBuf, unsigned nCount);  // returns the bytes read; 0 at the end
    void Write(const void* lpBuf, unsigned nCount);
    uint64_t GetLength() const;
    uint64_t GetPosition() const;
    void Close();
    void Abort();  // closes and ignores errors

    bool IsOpen() const;
    const CString& GetFilePath() const { return m_strFileName; }

    // Deletes a file; returns FALSE when it could not (missing, in use).
    static BOOL Remove(const char* pszFileName);
    // Gives pszOld the name pszNew, replacing a file of that name; a link of that name is
    // replaced itself, never written through, and a folder is refused. FALSE when it could not.
    static BOOL Rename(const char* pszOld, const char* pszNew, CFileException* pError = nullptr);

private:
    [[noreturn]] void ThrowLastError(int defaultCause) const;

    intptr_t m_hFile;  // HANDLE on Windows, file descriptor elsewhere; -1 when closed
    CString m_strFileName;
};

// The directory separator the program uses to build paths: a backslash on Windows.
#ifdef _WIN32
constexpr char AFX_PATH_SEPARATOR = '\\';
#else
constexpr char AFX_PATH_SEPARATOR = '/';
#endif

// Creates the folder pszPath (for our own use only where the system allows that). FALSE when it
// could not: *pError then says why, and *pbExisted is set when something of that name was there.
BOOL AfxCreateDirectory(const char* pszPath, CFileException* pError = nullptr, bool* pbExisted = nullptr);
// Removes the folder pszPath when it is empty; FALSE when it could not.
BOOL AfxRemoveDirectory(const char* pszPath);

// Full path of the running program's own file (GetModuleFileName on Windows,
// /proc/self/exe elsewhere); empty when it cannot be found, or on Windows when the ANSI code page
// cannot hold it exactly (CFile::OpenModuleFile opens it all the same).
CString AfxGetModuleFilePath();

#ifdef _WIN32
// The running program's own path as Windows holds it (UTF-16); empty when it cannot be found.
std::wstring AfxGetModuleFilePathW();
// strAnsi gets pszPath in the ANSI code page, exactly: false, leaving strAnsi alone, when a
// character has no place there (no best-fit look-alike, no question mark is ever used).
bool AfxAnsiPathExact(const wchar_t* pszPath, CString& strAnsi);
#endif
