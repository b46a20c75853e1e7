// CFile over POSIX file descriptors.
#include "afx/afx.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
int CauseFromErrno(int err, int fallback)
{
    switch (err) {
        case ENOENT:
            return CFileException::fileNotFound;
        case ENOTDIR:
        case ENAMETOOLONG:
            return CFileException::badPath;
        case EMFILE:
        case ENFILE:
            return CFileException::tooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return CFileException::accessDenied;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return CFileException::diskFull;
        case EIO:
            return CFileException::hardIO;
        default:
            return fallback;
    }
}
}  // namespace

BOOL CFile::Open(const char* pszFileName, unsigned nOpenFlags, CFileException* pError)
{
    Abort();
    m_strFileName = pszFileName;
    int flags = O_CLOEXEC;
    switch (nOpenFlags & 3) {
        case modeRead:
            flags |= O_RDONLY;
            break;
        case modeWrite:
            flags |= O_WRONLY;
            break;
        default:
            flags |= O_RDWR;
            break;
    }
    if (nOpenFlags & modeCreate) {
        flags |= O_CREAT;
        if (!(nOpenFlags & modeNoTruncate))
            flags |= O_TRUNC;
    }
    // Non-blocking only while opening: a FIFO must not wait for a writer, nor a device for its line.
    int fd = ::open(pszFileName, flags | O_NONBLOCK | O_NOCTTY, 0666);
    if (fd < 0) {
        if (pError)
            *pError = CFileException(CauseFromErrno(errno, CFileException::genericException), errno, m_strFileName);
        return FALSE;
    }
    // Only regular files: a directory, a device or a FIFO where a file is expected would read
    // forever, never end, or fail halfway.
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
        ::close(fd);
        if (pError)
            *pError = CFileException(CFileException::accessDenied, err, m_strFileName);
        return FALSE;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    m_hFile = fd;
    return TRUE;
}

void CFile::ThrowLastError(int defaultCause) const
{
    int err = errno;
    throw CFileException(CauseFromErrno(err, defaultCause), err, m_strFileName);
}

uint64_t CFile::Seek(int64_t lOff, unsigned nFrom)
{
    int whence = nFrom == begin ? SEEK_SET : nFrom == current ? SEEK_CUR : SEEK_END;
    off_t pos = ::lseek(int(m_hFile), off_t(lOff), whence);
    if (pos < 0)
        ThrowLastError(CFileException::badSeek);
    return uint64_t(pos);
}

unsigned CFile::Read(void* lpBuf, unsigned nCount)
{
    char* p = static_cast<char*>(lpBuf);
    unsigned total = 0;
    // A regular file delivers everything asked for up to its end; loop only over interruptions.
    while (total < nCount) {
        ssize_t n = ::read(int(m_hFile), p + total, nCount - total);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ThrowLastError(CFileException::hardIO);
        }
        if (n == 0)
            break;
        total += unsigned(n);
    }
    return total;
}

void CFile::Write(const void* lpBuf, unsigned nCount)
{
    const char* p = static_cast<const char*>(lpBuf);
    unsigned total = 0;
    while (total < nCount) {
        ssize_t n = ::write(int(m_hFile), p + total, nCount - total);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ThrowLastError(CFileException::hardIO);
        }
        if (n == 0) {
            errno = ENOSPC;
            ThrowLastError(CFileException::diskFull);
        }
        total += unsigned(n);
    }
}

uint64_t CFile::GetLength() const
{
    struct stat st;
    if (::fstat(int(m_hFile), &st) != 0)
        ThrowLastError(CFileException::genericException);
    return uint64_t(st.st_size);
}

uint64_t CFile::GetPosition() const
{
    off_t pos = ::lseek(int(m_hFile), 0, SEEK_CUR);
    if (pos < 0)
        ThrowLastError(CFileException::badSeek);
    return uint64_t(pos);
}

void CFile::Close()
{
    if (m_hFile < 0)
        return;
    int fd = int(m_hFile);
    m_hFile = -1;
    if (::close(fd) != 0)
        ThrowLastError(CFileException::hardIO);
}

void CFile::Abort()
{
    if (m_hFile >= 0)
        ::close(int(m_hFile));
    m_hFile = -1;
}

bool CFile::IsOpen() const
{
    return m_hFile >= 0;
}

BOOL CFile::OpenNew(const char* pszFileName, CFileException* pError, bool* pbExisted)
{
    Abort();
    m_strFileName = pszFileName;
    if (pbExisted)
        *pbExisted = false;
    // O_EXCL fails on any name that exists, a link included, whose target is never created.
    const int fd = ::open(pszFileName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int err = errno;
        if (pbExisted)
            *pbExisted = err == EEXIST;
        if (pError)
            *pError = CFileException(CauseFromErrno(err, CFileException::genericException), err, m_strFileName);
        return FALSE;
    }
    m_hFile = fd;
    return TRUE;
}

BOOL CFile::OpenModuleFile(CFileException* pError)
{
    // The file that was started, whatever became of its name since.
    if (!Open("/proc/self/exe", modeRead | shareDenyNone, pError))
        return FALSE;
    m_strFileName = AfxGetModuleFilePath();
    return TRUE;
}

BOOL CFile::Rename(const char* pszOld, const char* pszNew, CFileException* pError)
{
    if (::rename(pszOld, pszNew) == 0)
        return TRUE;
    const int err = errno;
    if (pError)
        *pError = CFileException(CauseFromErrno(err, CFileException::genericException), err, pszNew);
    return FALSE;
}

BOOL CFile::Remove(const char* pszFileName)
{
    return ::unlink(pszFileName) == 0 ? TRUE : FALSE;
}

BOOL AfxCreateDirectory(const char* pszPath, CFileException* pError, bool* pbExisted)
{
    if (pbExisted)
        *pbExisted = false;
    if (::mkdir(pszPath, 0700) == 0)
        return TRUE;
    const int err = errno;
    if (pbExisted)
        *pbExisted = err == EEXIST;
    if (pError)
        *pError = CFileException(CauseFromErrno(err, CFileException::genericException), err, pszPath);
    return FALSE;
}

BOOL AfxRemoveDirectory(const char* pszPath)
{
    return ::rmdir(pszPath) == 0 ? TRUE : FALSE;
}

CString AfxGetModuleFilePath()
{
    char buf[PATH_MAX + 1];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return CString();
    return CString(buf, int(n));
}
