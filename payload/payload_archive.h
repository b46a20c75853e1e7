// The payload that a release carries behind the end of the updater's own file: one zlib stream
// per entry, then a directory trailer that ends exactly at the end of the file.
//
// Forward layout of the trailer (all integers 32-bit little-endian):
//   per entry, in index order: offset, uncompressed size, compressed size, name (L bytes), L
//   then: count N, "0.90", "!TAVO_SFX!"
#pragma once

#include "afx/afx.h"

#include <zlib.h>

// Result codes of the archive.
enum SfxResult : int {
    SFX_ERR_OPEN = 1000,    // the file cannot be opened for reading
    SFX_ERR_FORMAT = 1001,  // no payload, a damaged directory, an unsafe or repeated entry name
    SFX_OK = 1002,
    SFX_ERR_EMPTY = 1004,    // the directory holds no entries
    SFX_ERR_EXTRACT = 1005,  // an entry could not be written out whole
    SFX_ERR_REOPEN = 1006,   // the file cannot be opened again for extraction
    // Packing only (payload_writer.h and the release packer):
    SFX_ERR_WRITE = 1007,      // the release cannot be written
    SFX_ERR_COMPRESS = 1008,   // zlib cannot compress an entry
    SFX_ERR_TOO_LARGE = 1009,  // the release would pass 2 GiB
};

// Events of the extraction callback.
enum SfxEvent : int {
    SFX_EV_BEGIN = 1000,     // data: the entry's PayloadEntry, before it is extracted
    SFX_EV_DONE = 1001,      // data: the same entry, after it was extracted whole
    SFX_EV_PROGRESS = 1002,  // data: int percentage (0..100) of the entry's compressed input consumed
};

// Called on the extracting thread; data is valid only during the call.
typedef void (*SfxCallback)(int nEvent, void* pData, void* pUserData);

constexpr int SFX_MAX_ENTRIES = 256;
constexpr int SFX_MAX_NAME = 1000;
constexpr int SFX_IO_BUFFER = 4096;

extern const char SFX_MARKER[10];  // "!TAVO_SFX!"
extern const char SFX_VERSION[4];  // "0.90"

struct PayloadEntry {
    CString strName;      // as stored, cut at a zero byte; also the extracted file's name
    CString strReserved;  // always empty
    int nUncompressedSize = 0;
    int nCompressedSize = 0;
    int nOffset = 0;  // absolute file offset of the entry's zlib stream

    // Every field back to its empty value.
    void Clear() { *this = PayloadEntry(); }
};

class CPayloadArchive {
public:
    // Reads the payload of the running program's own file, whatever its name (GetModulePath()
    // stands for it, even when empty).
    CPayloadArchive();
    // Reads the payload of another file (the release packer, tests).
    explicit CPayloadArchive(const CString& strFilePath);
    virtual ~CPayloadArchive();

    CPayloadArchive(const CPayloadArchive&) = delete;
    CPayloadArchive& operator=(const CPayloadArchive&) = delete;

    // Reads the directory of the file at strPath into the table. Returns SFX_OK, SFX_ERR_OPEN,
    // SFX_ERR_FORMAT or SFX_ERR_EMPTY. The table is empty after every failure.
    int ReadDirectory(CString strPath);
    int GetCount() const { return m_nCount; }
    // A copy of entry nIndex; a cleared entry when the index is outside 0..count-1.
    PayloadEntry GetEntry(int nIndex) const;
    // True for the label: the last entry when its data is empty. Its name is free text that the
    // dialog shows; it is never written to disk nor deleted.
    bool IsLabel(int nIndex) const;
    CString GetModulePath() const { return m_strModulePath; }

    // Extracts every entry, last index first, into strDirectory (a separator is appended when
    // missing). Every entry is attempted; the label is not written but still raises its begin
    // and done events. Returns SFX_OK when all were written whole,
    // SFX_ERR_EXTRACT when any was not, SFX_ERR_REOPEN, or the code of ReadDirectory.
    int ExtractAll(CString strDirectory, SfxCallback pfnCallback, void* pUserData);
    // Extracts one entry. Returns SFX_OK, SFX_ERR_EXTRACT (also for an index outside the
    // directory, which touches nothing), SFX_ERR_REOPEN, or the code of ReadDirectory.
    int ExtractEntry(int nIndex, CString strDirectory);
    // Deletes directory + name of every entry of the table as last read; reports nothing.
    void DeleteExtracted(CString strDirectory);
    // Why the last ExtractAll or ExtractEntry could not write its first failed entry: a
    // CFileException cause (diskFull, accessDenied...), or none when nothing failed or only
    // the entry's data was damaged.
    int GetFailureCause() const { return m_nFailureCause; }

private:
    // The program's own file by the name Windows started it from, never by a narrow name that
    // may be a look-alike's; any other file by its path.
    BOOL OpenPayloadFile(CFile& file, const CString& strPath) const
    {
        if (m_bOwnModule && strPath == m_strModulePath)
            return file.OpenModuleFile();
        return file.Open(strPath, CFile::modeRead | CFile::shareDenyNone);
    }
    int InflateEntry(CFile& file, int nIndex, const CString& strDirectory);
    bool Inflate(CFile& file, const PayloadEntry& entry, CFile& out);
    unsigned ReadInput(CFile& file, int64_t& nPos);
    int ReadDirectoryFrom(CFile& file);
    int Percentage() const;
    void ClearTable();
    void NoteFailure(int nCause);

    z_stream m_stream;
    CString m_strModulePath;
    bool m_bOwnModule = false;  // the running program's own file, opened by what Windows started
    PayloadEntry m_entries[SFX_MAX_ENTRIES];
    int m_nCount = 0;
    int m_nDirLength = 0;
    SfxCallback m_pfnCallback = nullptr;
    void* m_pUserData = nullptr;
    unsigned char m_inBuf[SFX_IO_BUFFER];
    unsigned char m_outBuf[SFX_IO_BUFFER];
    int m_nEntrySize = 0;
    int64_t m_nStreamEnd = 0;  // no entry's input is read at or past this file offset
    int m_nFailureCause = CFileException::none;
};

// Name of a result code ("SFX_ERR_FORMAT"), for messages; "SFX_?" for an unknown code.
const char* SfxResultName(int nResult);
// True when an entry name can be used as an ordinary file name inside the extraction
// directory on Windows (see windows_file_name.h).
bool SfxIsSafeEntryName(const CString& strName);
// Where the payload trailer of the release in `file` ends: the file's length for a program
// without a signature; for a program signed after packing, the start of its certificate table
// less the signer's padding (fewer than 8 zero bytes, up to the 8-byte boundary), never a place
// inside the table, whose bytes the signature does not cover. 0 (no trailer) when the security
// directory names anything but a table a signer made.
int64_t SfxTrailerEnd(CFile& file);
