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
}  // namespace

BOOL CFile::Open(const char* pszFileName, unsigned nOpenFlags, CFileException* pError)
{
    Abort();
    m_strFileName = pszFileName;

    DWORD access;
    switch (nOpenFlags & 3) {
        case modeRead:
            access = GENERIC_READ;
            break;
        case modeWrite:
            access = GENERIC_WRITE;
            break;
        default:
            access = GENERIC_READ | GENERIC_WRITE;
            break;
    }
    DWORD share;
    switch (nOpenFlags & 0x70) {
        case shareDenyWrite:
            share = FILE_SHARE_READ;
            break;
        case shareDenyRead:
            share = FILE_SHARE_WRITE;
            break;
        case shareDenyNone:
            share = FILE_SHARE_READ | FILE_SHARE_WRITE;
            break;
        default:  // shareExclusive, shareCompat
            share = 0;
            break;
    }
    DWORD creation = OPEN_EXISTING;
    if (nOpenFlags & modeCreate)
        creation = (nOpenFlags & modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;

    // Never inheritable: the flash utility is started with handle inheritance on, and must get
    // only the pipe, not the payload or an extracted file.
    HANDLE h = ::CreateFileA(pszFileName, access, share, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (pError) {
            DWORD err = ::GetLastError();
            *pError = CFileException(CauseFromWin32(err, CFileException::genericException), long(err), m_strFileName);
        }
        return FALSE;
    }
    // Only files on a disk: a device (a COM port, NUL, CON) or a pipe where a file is expected
    // would block, read forever or fail halfway. Folders already fail in CreateFileA.
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        ::CloseHandle(h);
        if (pError)
            *pError = CFileException(CFileException::accessDenied, long(ERROR_BAD_DEVICE), m_strFileName);
        return FALSE;
    }
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

CString AfxGetModuleFilePath()
{
    char buf[MAX_PATH + 1] = {0};
    DWORD n = ::GetModuleFileNameA(nullptr, buf, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return CString();
    return CString(buf, int(n));
}
