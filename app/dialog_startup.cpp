#include "app/dialog_startup.h"

#include "app/logo/logo_bitmap.h"
#include "app/resource.h"
#include "flash/update_rules.h"

#include <cstring>
#include <memory>

CString PortRowFromValueData(const unsigned char* pData, uint32_t cbData)
{
    // Data that fills the buffer has no room for a terminator: stop at the buffer's end.
    uint32_t nLimit = cbData < PORT_VALUE_BUFFER ? cbData : PORT_VALUE_BUFFER;
    const void* pNul = std::memchr(pData, 0, nLimit);
    uint32_t nLength = pNul ? uint32_t(static_cast<const unsigned char*>(pNul) - pData) : nLimit;
    return CString(" ") + CString(reinterpret_cast<const char*>(pData), int(nLength));
}

void FillPortList(IUpdaterView& view, ISerialPortKey& key)
{
    ISerialPortKey::OpenResult opened = key.Open();
    if (opened == ISerialPortKey::OPEN_FAILED)
        return;
    if (opened == ISerialPortKey::OPENED_EXISTING) {
        for (uint32_t nIndex = 0;; ++nIndex) {
            char szName[PORT_VALUE_BUFFER];
            unsigned char data[PORT_VALUE_BUFFER];
            uint32_t cchName = PORT_VALUE_BUFFER;
            uint32_t cbData = PORT_VALUE_BUFFER;
            const long nStatus = key.EnumValue(nIndex, szName, &cchName, data, &cbData);
            // A value too long for the buffers is no port we could use, but the ones after it are.
            if (nStatus == PORT_ENUM_MORE_DATA)
                continue;
            if (nStatus != 0)
                break;
            view.AddListRow(IDC_PORT_LIST, PortRowFromValueData(data, cbData));
        }
    }
    key.Close();
    view.SetListSelection(IDC_PORT_LIST, 0);
}

void FillSpeedList(IUpdaterView& view)
{
    for (int nRow = 0; nRow < SPEED_ROWS; ++nRow) {
        CString row;
        row.Format(" %d", int(BaudRateOfSpeedRow(nRow)));
        view.AddListRow(IDC_SPEED_LIST, row);
    }
    view.SetListSelection(IDC_SPEED_LIST, SPEED_DEFAULT_ROW);
}

CString TempDirFromResult(uint32_t nResult, const char* pszBuffer, uint32_t nBufferSize)
{
    // 0 is a failure; a result of the buffer's size or more is the size the path would need.
    if (nResult == 0 || nResult >= nBufferSize)
        return CString();
    CString dir(pszBuffer, int(nResult));
    if (dir[dir.GetLength() - 1] != AFX_PATH_SEPARATOR)
        dir += AFX_PATH_SEPARATOR;
    return dir;
}

CString MakeWorkFolder(const CString& strTempDir, unsigned nProcessId)
{
    if (strTempDir.IsEmpty())
        return CString();
    for (unsigned n = 0; n < 100; ++n) {
        CString strFolder;
        strFolder.Format("%sMirador-%X-%u", strTempDir.GetString(), nProcessId, n);
        bool bExisted = false;
        // A name that could not be made for another reason is the one the update tries again
        // and reports; an earlier name that existed is another process's folder.
        if (AfxCreateDirectory(strFolder, nullptr, &bExisted) || !bExisted)
            return strFolder + AFX_PATH_SEPARATOR;
    }
    return CString();  // a hundred names taken: none of them is ours
}

CPoint LogoOrigin(const CSize& client, const CSize& logo)
{
    return CPoint(client.cx / 2 - logo.cx / 2, (client.cy - LOGO_RESERVED_BOTTOM) / 2 - logo.cy / 2);
}

CLogoBitmap* ShowLabelAndLoadLogo(IUpdaterView& view,
                                  CPayloadArchive& archive,
                                  const CString& strTempDir,
                                  CSize& sizeLogo,
                                  CPoint& ptLogo)
{
    if (archive.ReadDirectory(archive.GetModulePath()) != SFX_OK) {
        view.SetItemText(IDC_UPDATE_INFO, CString());
        return nullptr;
    }
    const int nCount = archive.GetCount();
    view.SetItemText(IDC_UPDATE_INFO, archive.GetEntry(nCount - 1).strName);

    // The logo is the entry before the last; a payload of one entry has none.
    if (nCount < 2 || strTempDir.IsEmpty())
        return nullptr;
    const int nLogo = nCount - 2;
    const PayloadEntry logoEntry = archive.GetEntry(nLogo);
    // A failed extraction shows as a failed load.
    archive.ExtractEntry(nLogo, strTempDir);
    std::unique_ptr<CLogoBitmap> pLogo(new CLogoBitmap);
    if (!pLogo->Load(strTempDir + logoEntry.strName))
        return nullptr;

    sizeLogo = pLogo->GetSize();
    ptLogo = LogoOrigin(view.GetClientSize(), sizeLogo);
    view.ShowItem(IDC_LOGO_LABEL, false);
    return pLogo.release();
}
