// The part of CFile that is the same on every system; file_win32.cpp and file_posix.cpp hold the
// rest. m_hFile is -1 while no file is open.
#include "afx/afx.h"

CFile::CFile() : m_hFile(-1) {}

CFile::CFile(const char* pszFileName, unsigned nOpenFlags) : m_hFile(-1)
{
    CFileException e;
    if (!Open(pszFileName, nOpenFlags, &e))
        throw e;
}

CFile::~CFile()
{
    Abort();
}

BOOL CFile::OpenNewTemporary(const char* pszPrefix, const char* pszSuffix, CFileException* pError)
{
    for (unsigned n = 1; n <= 1000; ++n) {
        CString strName;
        strName.Format("%s%u%s", pszPrefix, n, pszSuffix);
        bool bExisted = false;
        if (OpenNew(strName, pError, &bExisted))
            return TRUE;
        if (!bExisted)
            return FALSE;
    }
    return FALSE;  // a thousand names taken: none of them is ours
}
