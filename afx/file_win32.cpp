// CFile over Win32 file handles.
#include "afx/afx.h"

#include <windows.h>

namespace {
int CauseFromWin32(DWORD err, int fallback)
{
    switch (err) {
        case ERROR_FILE_NOT_FOUND:
            return CFileException::fileNotFound;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
            return CFileException::badPath;
        case ERROR_TOO_MANY_OPEN_FILES:
            return CFileException::tooManyOpenFiles;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
            return CFileException::accessDenied;
        case ERROR_SHARING_VIOLATION:
            return CFileException::sharingViolation;
        case ERROR_LOCK_VIOLATION:
            return CFileException::lockViolation;
        case ERROR_HANDLE_DISK_FULL:
        case ERROR_DISK_FULL:
            return CFileException::diskFull;
        case ERROR_NEGATIVE_SEEK:
        case ERROR_SEEK:
            return CFileException::badSeek;
        default:
            return fallback;
    }
}

HANDLE AsHandle(intptr_t h)
{
    return reinterpret_cast<HANDLE>(h);
}

// Access, sharing and creation of CreateFile for the flags of CFile::Open.
struct CreateArgs {
    DWORD access, share, creation;
};
CreateArgs CreateArgsOf(unsigned nOpenFlags)
{
    CreateArgs a;
    switch (nOpenFlags & 3) {
        case CFile::modeRead:
            a.access = GENERIC_READ;
            break;
        case CFile::modeWrite:
            a.access = GENERIC_WRITE;
            break;
        default:
            a.access = GENERIC_READ | GENERIC_WRITE;
            break;
    }
    switch (nOpenFlags & 0x70) {
        case CFile::shareDenyWrite:
            a.share = FILE_SHARE_READ;
            break;
        case CFile::shareDenyRead:
            a.share = FILE_SHARE_WRITE;
            break;
        case CFile::shareDenyNone:
            a.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
            break;
        default:  // shareExclusive, shareCompat
            a.share = 0;
            break;
    }
    a.creation = OPEN_EXISTING;
    if (nOpenFlags & CFile::modeCreate)
        a.creation = (nOpenFlags & CFile::modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
    return a;
}

// The handle CreateFile gave, when it is a file on a disk; otherwise INVALID_HANDLE_VALUE and
// *pError says why. A device (a COM port, NUL, CON) or a pipe where a file is expected would
// block, read forever or fail halfway; folders already fail in CreateFile. Never inheritable:
// the flash utility is started with handle inheritance on, and must get only the pipe.
HANDLE DiskFileOnly(HANDLE h, const CString& strName, CFileException* pError, bool* pbExisted = nullptr)
{
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = ::GetLastError();
        if (pbExisted)
            *pbExisted = err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS;
        if (pError)
            *pError = CFileException(CauseFromWin32(err, CFileException::genericException), long(err), strName);
        return INVALID_HANDLE_VALUE;
    }
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        ::CloseHandle(h);
        if (pError)
            *pError = CFileException(CFileException::accessDenied, long(ERROR_BAD_DEVICE), strName);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}
}  // namespace

BOOL CFile::Open(const char* pszFileName, unsigned nOpenFlags, CFileException* pError)
{
    Abort();
    m_strFileName = pszFileName;
    const CreateArgs a = CreateArgsOf(nOpenFlags);
    HANDLE h =
        DiskFileOnly(::CreateFileA(pszFileName, a.access, a.share, nullptr, a.creation, FILE_ATTRIBUTE_NORMAL, nullptr),
                     m_strFileName, pError);
    if (h == INVALID_HANDLE_VALUE)
        return FALSE;
    m_hFile = reinterpret_cast<intptr_t>(h);
    return TRUE;
}

BOOL CFile::OpenNew(const char* pszFileName, CFileException* pError, bool* pbExisted)
{
    Abort();
    m_strFileName = pszFileName;
    if (pbExisted)
        *pbExisted = false;
    // A link of that name is there: CREATE_NEW fails on it instead of creating its target.
    HANDLE h = DiskFileOnly(::CreateFileA(pszFileName, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
                            m_strFileName, pError, pbExisted);
    if (h == INVALID_HANDLE_VALUE)
        return FALSE;
    m_hFile = reinterpret_cast<intptr_t>(h);
    return TRUE;
}

BOOL CFile::OpenModuleFile(CFileException* pError)
{
    Abort();
    m_strFileName = AfxGetModuleFilePath();  // for messages; may be empty
    const std::wstring strPath = AfxGetModuleFilePathW();
    const CreateArgs a = CreateArgsOf(modeRead | shareDenyNone);
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    HANDLE h = DiskFileOnly(strPath.empty() ? INVALID_HANDLE_VALUE
                                            : ::CreateFileW(strPath.c_str(), a.access, a.share, nullptr, a.creation,
                                                            FILE_ATTRIBUTE_NORMAL, nullptr),
                            m_strFileName, pError);
    if (h == INVALID_HANDLE_VALUE)
        return FALSE;
    m_hFile = reinterpret_cast<intptr_t>(h);
    return TRUE;
}

void CFile::ThrowLastError(int defaultCause) const
{
    DWORD err = ::GetLastError();
    throw CFileException(CauseFromWin32(err, defaultCause), long(err), m_strFileName);
}

uint64_t CFile::Seek(int64_t lOff, unsigned nFrom)
{
    DWORD method = nFrom == begin ? FILE_BEGIN : nFrom == current ? FILE_CURRENT : FILE_END;
    LARGE_INTEGER dist, pos;
    dist.QuadPart = lOff;
    if (!::SetFilePointerEx(AsHandle(m_hFile), dist, &pos, method))
        ThrowLastError(CFileException::badSeek);
    return uint64_t(pos.QuadPart);
}

unsigned CFile::Read(void* lpBuf, unsigned nCount)
{
    DWORD got = 0;
    if (!::ReadFile(AsHandle(m_hFile), lpBuf, nCount, &got, nullptr))
        ThrowLastError(CFileException::hardIO);
    return unsigned(got);
}

void CFile::Write(const void* lpBuf, unsigned nCount)
{
    DWORD put = 0;
    if (!::WriteFile(AsHandle(m_hFile), lpBuf, nCount, &put, nullptr))
        ThrowLastError(CFileException::hardIO);
    if (put != nCount) {
        ::SetLastError(ERROR_DISK_FULL);
        ThrowLastError(CFileException::diskFull);
    }
}

uint64_t CFile::GetLength() const
{
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(AsHandle(m_hFile), &size))
        ThrowLastError(CFileException::genericException);
    return uint64_t(size.QuadPart);
}

uint64_t CFile::GetPosition() const
{
    LARGE_INTEGER zero, pos;
    zero.QuadPart = 0;
    if (!::SetFilePointerEx(AsHandle(m_hFile), zero, &pos, FILE_CURRENT))
        ThrowLastError(CFileException::badSeek);
    return uint64_t(pos.QuadPart);
}

void CFile::Close()
{
    if (m_hFile == -1)
        return;
    HANDLE h = AsHandle(m_hFile);
    m_hFile = -1;
    if (!::CloseHandle(h))
        ThrowLastError(CFileException::hardIO);
}

void CFile::Abort()
{
    if (m_hFile != -1)
        ::CloseHandle(AsHandle(m_hFile));
    m_hFile = -1;
}

bool CFile::IsOpen() const
{
    return m_hFile != -1;
}

BOOL CFile::Remove(const char* pszFileName)
{
    return ::DeleteFileA(pszFileName) ? TRUE : FALSE;
}

BOOL CFile::Rename(const char* pszOld, const char* pszNew, CFileException* pError)
{
    if (::MoveFileExA(pszOld, pszNew, MOVEFILE_REPLACE_EXISTING))
        return TRUE;
    const DWORD err = ::GetLastError();
    if (pError)
        *pError = CFileException(CauseFromWin32(err, CFileException::genericException), long(err), pszNew);
    return FALSE;
}

BOOL AfxCreateDirectory(const char* pszPath, CFileException* pError, bool* pbExisted)
{
    if (pbExisted)
        *pbExisted = false;
    if (::CreateDirectoryA(pszPath, nullptr))
        return TRUE;
    const DWORD err = ::GetLastError();
    if (pbExisted)
        *pbExisted = err == ERROR_ALREADY_EXISTS;
    if (pError)
        *pError = CFileException(CauseFromWin32(err, CFileException::genericException), long(err), pszPath);
    return FALSE;
}

BOOL AfxRemoveDirectory(const char* pszPath)
{
    return ::RemoveDirectoryA(pszPath) ? TRUE : FALSE;
}

std::wstring AfxGetModuleFilePathW()
{
    std::wstring strPath(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, &strPath[0], DWORD(strPath.size()));
        if (n == 0)
            return std::wstring();
        if (n < strPath.size()) {
            strPath.resize(n);
            return strPath;
        }
        if (strPath.size() >= 32768)
            return std::wstring();  // longer than any Windows path
        strPath.resize(strPath.size() * 2);
    }
}

bool AfxAnsiPathExact(const wchar_t* pszPath, CString& strAnsi)
{
    const UINT nCodePage = ::GetACP();
    // UTF-8 holds every character, and refuses both the flag and the question.
    const bool bUtf8 = nCodePage == CP_UTF8;
    const DWORD dwFlags = bUtf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL bLost = FALSE;
    const int n = ::WideCharToMultiByte(nCodePage, dwFlags, pszPath, -1, nullptr, 0, nullptr, bUtf8 ? nullptr : &bLost);
    if (n <= 0 || bLost)
        return false;
    std::string strOut(size_t(n), '\0');
    ::WideCharToMultiByte(nCodePage, dwFlags, pszPath, -1, &strOut[0], n, nullptr, nullptr);
    strOut.resize(size_t(n - 1));  // without the terminator
    strAnsi = CString(strOut);
    return true;
}

CString AfxGetModuleFilePath()
{
    // Never a best-fit look-alike such as "_" for U+FF3F, nor "?": that name may be another file.
    CString strPath;
    const std::wstring strWide = AfxGetModuleFilePathW();
    if (strWide.empty() || !AfxAnsiPathExact(strWide.c_str(), strPath))
        return CString();
    return strPath;
}
