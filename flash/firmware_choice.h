// The firmware choice of one update: picks the extracted firmware file that fits the detected
// chip and merges the payload's database into it, in place. It holds names, never an image.
// Owned by the main dialog; portable (files through CFile).
#pragma once

#include "afx/afx.h"
#include "payload/payload_archive.h"

#include <functional>
#include <map>

// The S7 record that ends every firmware image; the database goes in front of it.
extern const char FIRMWARE_S7_TERMINATOR[17];  // 16 bytes and a NUL
// The application message box for a database file that cannot be read whole.
extern const char FIRMWARE_TEXT_READ_ERROR[];

class CFirmwareChoice {
public:
    typedef std::function<void(const char* pszText)> MessageBoxFn;

    // archive: the payload, whose entries are extracted into strTempDir (a directory path that
    // ends in AFX_PATH_SEPARATOR). showMessage raises the application message box.
    CFirmwareChoice(CPayloadArchive& archive, const CString& strTempDir, MessageBoxFn showMessage);
    virtual ~CFirmwareChoice() = default;

    // The lower-cased name of the first entry whose name ends like strEnding, or empty. Only the
    // last two characters are compared; a one-character ending needs a dot before it.
    CString FindEntryBySuffix(const CString& strEnding) const;

    // Sets m_strDatabase and m_strFirmware for chip type nChipType (0..255) and merges the
    // database into the firmware file when both exist. A firmware file is merged at most once
    // per extraction; when its merge cannot be completed, m_strFirmware is left empty so that
    // no partly merged image is ever flashed.
    void ChooseFirmware(int nChipType);

    // Replaces the final S7 record of the firmware file with the database file's bytes followed
    // by the same record. Returns true when the merge is complete. Leaves the firmware file
    // unchanged when it cannot be opened, does not end with the S7 record, or the database
    // cannot be opened; shows FIRMWARE_TEXT_READ_ERROR when the database cannot be read whole.
    bool MergeDatabase(const CString& strFirmwarePath, const CString& strDatabasePath);

    // The sequencer calls this after every successful extraction: the files are fresh again.
    void OnExtracted();

    CString m_strFirmware;  // lower-cased name of the firmware entry for the chip, or empty
    CString m_strDatabase;  // lower-cased name of the database entry, or empty

protected:
    // Reads up to nCount bytes of the database; throws CFileException when reading fails.
    virtual unsigned ReadDatabase(CFile& database, void* pBuffer, unsigned nCount);

private:
    CPayloadArchive& m_archive;
    CString m_strTempDir;
    MessageBoxFn m_showMessage;
    // Firmware names merged since the last extraction: true merged, false failed.
    std::map<CString, bool> m_merged;
};
