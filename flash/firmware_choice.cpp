#include "flash/firmware_choice.h"

#include "flash/update_rules.h"

#include <algorithm>
#include <cstring>

const char FIRMWARE_S7_TERMINATOR[17] = "S70500000000FA\r\n";
const char FIRMWARE_TEXT_READ_ERROR[] = "Error.. Cannot receive from file";

namespace {
constexpr unsigned kTerminatorSize = 16;
constexpr unsigned kCopyBlock = 1024;
}  // namespace

CFirmwareChoice::CFirmwareChoice(CPayloadArchive& archive, const CString& strTempDir, MessageBoxFn showMessage)
    : m_archive(archive), m_strTempDir(strTempDir), m_showMessage(std::move(showMessage))
{
}

CString CFirmwareChoice::FindEntryBySuffix(const CString& strEnding) const
{
    const int k = strEnding.GetLength();
    if (k == 0)
        return CString();
    for (int i = 0; i < m_archive.GetCount(); ++i) {
        if (m_archive.IsLabel(i))
            continue;  // shown only, never extracted: it cannot be flashed
        CString strName = m_archive.GetEntry(i).strName;
        strName.MakeLower();
        const int n = strName.GetLength();
        if (n < 2 || strName[n - 1] != strEnding[k - 1])
            continue;
        // Only the last two characters count, also for the three-letter endings.
        const char chBefore = k == 1 ? '.' : strEnding[k - 2];
        if (strName[n - 2] == chBefore)
            return strName;
    }
    return CString();
}

void CFirmwareChoice::ChooseFirmware(int nChipType)
{
    m_strDatabase = FindEntryBySuffix("db0");
    if (m_strDatabase.IsEmpty()) {
        m_strFirmware = FindEntryBySuffix("s");
        return;
    }
    m_strFirmware = FindEntryBySuffix(FirmwareSuffixOfChip(nChipType));
    if (m_strFirmware.IsEmpty())
        return;

    // A probe cycle may choose again (another port, the same chip): the database must go into
    // the extracted file once only, and a file whose merge failed stays unusable.
    auto it = m_merged.find(m_strFirmware);
    bool bMerged;
    if (it != m_merged.end()) {
        bMerged = it->second;
    } else {
        bMerged = MergeDatabase(m_strTempDir + m_strFirmware, m_strTempDir + m_strDatabase);
        m_merged[m_strFirmware] = bMerged;
    }
    if (!bMerged)
        m_strFirmware.Empty();
}

unsigned CFirmwareChoice::ReadDatabase(CFile& database, void* pBuffer, unsigned nCount)
{
    return database.Read(pBuffer, nCount);
}

bool CFirmwareChoice::MergeDatabase(const CString& strFirmwarePath, const CString& strDatabasePath)
{
    CFile firmware;
    CFile database;
    if (!firmware.Open(strFirmwarePath, CFile::modeReadWrite | CFile::shareExclusive))
        return false;
    try {
        // Only an image that ends with the S7 record can take the database in front of it.
        const uint64_t nSize = firmware.GetLength();
        if (nSize < kTerminatorSize)
            return false;
        char tail[kTerminatorSize];
        firmware.Seek(int64_t(nSize - kTerminatorSize), CFile::begin);
        if (firmware.Read(tail, kTerminatorSize) != kTerminatorSize ||
            std::memcmp(tail, FIRMWARE_S7_TERMINATOR, kTerminatorSize) != 0)
            return false;
        if (!database.Open(strDatabasePath, CFile::modeRead | CFile::shareExclusive))
            return false;
        const uint64_t nTotal = database.GetLength();

        firmware.Seek(int64_t(nSize - kTerminatorSize), CFile::begin);
        char buffer[kCopyBlock];
        uint64_t nCopied = 0;
        bool bComplete = true;
        while (nCopied < nTotal) {
            const unsigned nWant = unsigned(std::min<uint64_t>(kCopyBlock, nTotal - nCopied));
            unsigned nRead = 0;
            try {
                nRead = ReadDatabase(database, buffer, nWant);
            } catch (const CFileException&) {
                nRead = 0;
            }
            // A failed read, or a file that ended early: the database is not in whole.
            if (nRead == 0 || nRead > nWant) {
                if (m_showMessage)
                    m_showMessage(FIRMWARE_TEXT_READ_ERROR);
                bComplete = false;
                break;
            }
            firmware.Write(buffer, nRead);
            nCopied += nRead;
        }
        // The image keeps a valid end even when the copy stopped early.
        firmware.Write(FIRMWARE_S7_TERMINATOR, kTerminatorSize);
        firmware.Close();
        database.Close();
        return bComplete;
    } catch (const CFileException&) {
        return false;
    }
}

void CFirmwareChoice::OnExtracted()
{
    // Nothing chosen for an earlier update may be flashed in this one.
    m_strFirmware.Empty();
    m_strDatabase.Empty();
    m_merged.clear();
}
