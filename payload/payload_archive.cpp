#include "payload/payload_archive.h"

#include "afx/little_endian.h"
#include "payload/pe_certificate.h"
#include "payload/windows_file_name.h"

#include <cstring>
#include <set>
#include <string>

const char SFX_MARKER[10] = {'!', 'T', 'A', 'V', 'O', '_', 'S', 'F', 'X', '!'};
const char SFX_VERSION[4] = {'0', '.', '9', '0'};

namespace {

CString WithSeparator(CString strDirectory)
{
    if (strDirectory.IsEmpty() || strDirectory[strDirectory.GetLength() - 1] != AFX_PATH_SEPARATOR)
        strDirectory += AFX_PATH_SEPARATOR;
    return strDirectory;
}

// Reads fields at distances from the end of the trailer, refusing any that would lie before the
// start of the file: a damaged length field must not turn into a wild seek. The trailer ends at
// the end of the file, or before the certificate table of a signed release.
class TrailerReader {
public:
    explicit TrailerReader(CFile& file) : m_file(file), m_length(SfxTrailerEnd(file)) {}

    // A signed release's trailer ends in front of its certificate table.
    bool BeforeSignature() const { return m_length != int64_t(m_file.GetLength()); }

    // Reads n bytes that begin nDistance bytes before the end of the trailer.
    bool ReadAt(int64_t nDistance, void* pBuf, unsigned n)
    {
        if (nDistance < int64_t(n) || nDistance > m_length)
            return false;
        m_file.Seek(m_length - nDistance, CFile::begin);
        return m_file.Read(pBuf, n) == n;
    }

    bool ReadInt(int64_t nDistance, int32_t& value)
    {
        unsigned char b[4];
        if (!ReadAt(nDistance, b, 4))
            return false;
        value = int32_t(LoadLE32(b));
        return true;
    }

    int64_t Length() const { return m_length; }

private:
    CFile& m_file;
    int64_t m_length;
};

}  // namespace

const char* SfxResultName(int nResult)
{
    switch (nResult) {
        case SFX_ERR_OPEN:
            return "SFX_ERR_OPEN";
        case SFX_ERR_FORMAT:
            return "SFX_ERR_FORMAT";
        case SFX_OK:
            return "SFX_OK";
        case SFX_ERR_EMPTY:
            return "SFX_ERR_EMPTY";
        case SFX_ERR_EXTRACT:
            return "SFX_ERR_EXTRACT";
        case SFX_ERR_REOPEN:
            return "SFX_ERR_REOPEN";
        case SFX_ERR_WRITE:
            return "SFX_ERR_WRITE";
        case SFX_ERR_COMPRESS:
            return "SFX_ERR_COMPRESS";
        case SFX_ERR_TOO_LARGE:
            return "SFX_ERR_TOO_LARGE";
        default:
            return "SFX_?";
    }
}

bool SfxIsSafeEntryName(const CString& strName)
{
    return WindowsFileNameProblem(strName.GetString(), size_t(strName.GetLength())) == nullptr;
}

// A signed program's payload is only what the signature covers: the bytes in front of the
// certificate table. Whatever lies inside the table (which the signature's hash skips) or a
// table that is not one a signer made gives no trailer at all.
int64_t SfxTrailerEnd(CFile& file)
{
    const int64_t nLength = int64_t(file.GetLength());
    const PeCertificateTable table = PeReadCertificateTable(file);
    if (table.status == PE_CERT_NONE)
        return nLength;
    if (table.status != PE_CERT_TABLE || table.nOffset % PE_CERT_ALIGNMENT != 0)
        return 0;
    // Step back over the zero bytes the signer put in front of the table; the marker's last
    // byte is not zero, so the trailer's end is found unambiguously.
    unsigned char gap[PE_CERT_ALIGNMENT - 1];
    const int64_t nGapStart = table.nOffset - int64_t(sizeof gap);
    if (nGapStart < 0)
        return 0;
    file.Seek(nGapStart, CFile::begin);
    if (file.Read(gap, sizeof gap) != sizeof gap)
        return 0;
    int64_t nEnd = table.nOffset;
    for (int i = int(sizeof gap) - 1; i >= 0 && gap[i] == 0; --i)
        --nEnd;
    return nEnd;
}

CPayloadArchive::CPayloadArchive() : CPayloadArchive(AfxGetModuleFilePath())
{
    m_bOwnModule = true;
}

CPayloadArchive::CPayloadArchive(const CString& strFilePath) : m_strModulePath(strFilePath)
{
    std::memset(&m_stream, 0, sizeof m_stream);
    m_stream.zalloc = Z_NULL;
    m_stream.zfree = Z_NULL;
    m_stream.opaque = Z_NULL;
}

CPayloadArchive::~CPayloadArchive() = default;

void CPayloadArchive::ClearTable()
{
    for (PayloadEntry& entry : m_entries)
        entry.Clear();
    m_nCount = 0;
    m_nDirLength = 0;
    m_nStreamEnd = 0;
}

bool CPayloadArchive::IsLabel(int nIndex) const
{
    return nIndex == m_nCount - 1 && nIndex >= 0 && m_entries[nIndex].nUncompressedSize == 0;
}

PayloadEntry CPayloadArchive::GetEntry(int nIndex) const
{
    if (nIndex < 0 || nIndex >= m_nCount)
        return PayloadEntry();
    return m_entries[nIndex];
}

int CPayloadArchive::ReadDirectory(CString strPath)
{
    ClearTable();
    CFile file;
    if (!OpenPayloadFile(file, strPath))
        return SFX_ERR_OPEN;
    int nResult;
    try {
        nResult = ReadDirectoryFrom(file);
    } catch (const CFileException&) {
        nResult = SFX_ERR_FORMAT;
    }
    if (nResult != SFX_OK)
        ClearTable();
    return nResult;
}

int CPayloadArchive::ReadDirectoryFrom(CFile& file)
{
    TrailerReader in(file);
    char marker[10];
    if (!in.ReadAt(10, marker, 10) || std::memcmp(marker, SFX_MARKER, 10) != 0)
        return SFX_ERR_FORMAT;
    char version[4];
    if (!in.ReadAt(14, version, 4) || std::memcmp(version, SFX_VERSION, 4) != 0)
        return SFX_ERR_FORMAT;
    int32_t nCount;
    if (!in.ReadInt(18, nCount))
        return SFX_ERR_FORMAT;
    if (nCount == 0)
        return SFX_ERR_EMPTY;
    if (nCount < 0 || nCount > SFX_MAX_ENTRIES)
        return SFX_ERR_FORMAT;

    char name[SFX_MAX_NAME];
    // Names as Windows compares them: a later entry must never replace an earlier one's file.
    std::set<std::string> fileKeys;
    int64_t nDistance = 18;  // from the end of the trailer to the field read next
    for (int nIndex = nCount - 1; nIndex >= 0; --nIndex) {
        int32_t nStoredLength, nCompressed, nUncompressed, nOffset;
        if (!in.ReadInt(nDistance += 4, nStoredLength) || nStoredLength < 0 || nStoredLength > SFX_MAX_NAME)
            return SFX_ERR_FORMAT;
        if (!in.ReadAt(nDistance += nStoredLength, name, unsigned(nStoredLength)))
            return SFX_ERR_FORMAT;
        if (!in.ReadInt(nDistance += 4, nCompressed) || !in.ReadInt(nDistance += 4, nUncompressed) ||
            !in.ReadInt(nDistance += 4, nOffset))
            return SFX_ERR_FORMAT;
        if (nOffset < 0 || nOffset >= in.Length())
            return SFX_ERR_FORMAT;
        // The signature covers only what lies in front of the table: every stream must end there.
        if (in.BeforeSignature() && (nCompressed < 0 || int64_t(nOffset) + nCompressed > in.Length()))
            return SFX_ERR_FORMAT;

        const void* zero = std::memchr(name, 0, size_t(nStoredLength));
        int nNameLength = zero ? int(static_cast<const char*>(zero) - name) : nStoredLength;
        CString strName(name, nNameLength);
        // The label is shown, never written: its name is free text.
        const bool bLabel = nIndex == nCount - 1 && nUncompressed == 0;
        if (!bLabel) {
            if (!SfxIsSafeEntryName(strName))
                return SFX_ERR_FORMAT;
            if (!fileKeys.insert(WindowsFileNameKey(name, size_t(nNameLength))).second)
                return SFX_ERR_FORMAT;
        }

        PayloadEntry& entry = m_entries[nIndex];
        entry.nUncompressedSize = nUncompressed;
        entry.nCompressedSize = nCompressed;
        entry.strName = strName;
        entry.nOffset = nOffset;
    }
    m_nCount = nCount;
    m_nDirLength = int(nDistance);
    m_nStreamEnd = in.Length();
    return SFX_OK;
}

int CPayloadArchive::ExtractAll(CString strDirectory, SfxCallback pfnCallback, void* pUserData)
{
    strDirectory = WithSeparator(strDirectory);
    int nResult = ReadDirectory(GetModulePath());
    if (nResult != SFX_OK)
        return nResult;
    m_pfnCallback = pfnCallback;
    m_pUserData = pUserData;
    m_nFailureCause = CFileException::none;

    CFile file;
    if (!OpenPayloadFile(file, GetModulePath()))
        return SFX_ERR_REOPEN;
    int nFailures = 0;
    for (int i = m_nCount - 1; i >= 0; --i) {
        if (m_pfnCallback)
            m_pfnCallback(SFX_EV_BEGIN, &m_entries[i], m_pUserData);
        if (IsLabel(i) || InflateEntry(file, i, strDirectory) == SFX_OK) {
            if (m_pfnCallback)
                m_pfnCallback(SFX_EV_DONE, &m_entries[i], m_pUserData);
        } else {
            ++nFailures;
        }
    }
    file.Abort();  // opened read-only: nothing to lose on close
    return nFailures ? SFX_ERR_EXTRACT : SFX_OK;
}

int CPayloadArchive::ExtractEntry(int nIndex, CString strDirectory)
{
    strDirectory = WithSeparator(strDirectory);
    int nResult = ReadDirectory(GetModulePath());
    if (nResult != SFX_OK)
        return nResult;
    if (nIndex < 0 || nIndex >= m_nCount)
        return SFX_ERR_EXTRACT;
    if (IsLabel(nIndex))
        return SFX_OK;  // nothing to write
    m_nFailureCause = CFileException::none;
    CFile file;
    if (!OpenPayloadFile(file, GetModulePath()))
        return SFX_ERR_REOPEN;
    nResult = InflateEntry(file, nIndex, strDirectory);
    file.Abort();
    return nResult;
}

int CPayloadArchive::Percentage() const
{
    // Wider than 32 bits and capped, so that a wrong size in the directory cannot make the
    // figures wrap or pass 100; for sizes that match the stream the result is the same.
    const uint64_t nTotal = m_nEntrySize > 0 ? uint64_t(m_nEntrySize) : 0;
    const uint64_t nDone = m_stream.total_in;
    if (nTotal == 0)
        return 100;
    uint64_t pct = nTotal <= 10000000 ? nDone * 100 / nTotal : nDone / (nTotal / 100);
    return pct > 100 ? 100 : int(pct);
}

// Inflates one entry into directory + name. The result is SFX_OK only when the zlib stream
// reached its end and gave exactly the entry's uncompressed size, every byte written: a damaged,
// truncated, oversized or unreadable entry, or a full disk, gives SFX_ERR_EXTRACT and leaves no
// output file behind, so that a broken firmware image can never be taken for a good one. The
// entry is written under a new name of its own and renamed into place: a link of its name is
// replaced, never written through, and a folder of its name is refused.
int CPayloadArchive::InflateEntry(CFile& file, int nIndex, const CString& strDirectory)
{
    const PayloadEntry& entry = m_entries[nIndex];
    CFile out;
    CFileException error;
    // "~" and a digit: never an entry's name (SfxIsSafeEntryName).
    if (!out.OpenNewTemporary(strDirectory + "sfx~", ".tmp", &error)) {
        NoteFailure(error.m_cause);
        return SFX_ERR_EXTRACT;
    }
    const CString strTemp = out.GetFilePath();
    bool bComplete = Inflate(file, entry, out);
    try {
        if (bComplete)
            out.Close();
    } catch (const CFileException& e) {
        NoteFailure(e.m_cause);
        bComplete = false;
    }
    if (bComplete && !CFile::Rename(strTemp, strDirectory + entry.strName, &error)) {
        NoteFailure(error.m_cause);
        bComplete = false;
    }
    if (!bComplete) {
        out.Abort();
        CFile::Remove(strTemp);
    }
    return bComplete ? SFX_OK : SFX_ERR_EXTRACT;
}

// Fills the input buffer from nPos on, never reading at or past the end of the trailer: a
// stream that runs on into a signature's table, which the signature does not cover, is cut
// there and fails. Returns the number of bytes read.
unsigned CPayloadArchive::ReadInput(CFile& file, int64_t& nPos)
{
    const int64_t nLeft = m_nStreamEnd - nPos;
    const unsigned nWant = nLeft >= SFX_IO_BUFFER ? SFX_IO_BUFFER : nLeft > 0 ? unsigned(nLeft) : 0;
    const unsigned nRead = nWant ? file.Read(m_inBuf, nWant) : 0;
    nPos += nRead;
    return nRead;
}

// The loop of zlib's example zpipe.c: the outer loop refills the input, the inner one drains the
// output until zlib leaves room in it. True when the stream ended with exactly the declared
// size written. Output beyond the declared size is damage and never written: a stream that
// would inflate to gigabytes stops at the first block that passes the size.
bool CPayloadArchive::Inflate(CFile& file, const PayloadEntry& entry, CFile& out)
{
    m_stream.next_in = Z_NULL;
    m_stream.avail_in = 0;
    m_nEntrySize = entry.nCompressedSize;
    if (inflateInit(&m_stream) != Z_OK)
        return false;
    const int64_t nDeclared = entry.nUncompressedSize;
    int64_t nWritten = 0;
    int ret = Z_OK;
    try {
        file.Seek(entry.nOffset, CFile::begin);
        int64_t nPos = entry.nOffset;
        do {
            m_stream.avail_in = ReadInput(file, nPos);
            if (m_stream.avail_in == 0)
                break;  // the input ended before the stream did
            m_stream.next_in = m_inBuf;
            do {
                m_stream.avail_out = SFX_IO_BUFFER;
                m_stream.next_out = m_outBuf;
                ret = inflate(&m_stream, Z_NO_FLUSH);
                if (ret == Z_NEED_DICT || ret == Z_STREAM_ERROR || ret == Z_MEM_ERROR)
                    ret = Z_DATA_ERROR;
                const unsigned nHave = SFX_IO_BUFFER - m_stream.avail_out;
                if (ret == Z_DATA_ERROR || nWritten + nHave > nDeclared) {
                    ret = Z_DATA_ERROR;
                    break;
                }
                out.Write(m_outBuf, nHave);
                nWritten += nHave;
            } while (m_stream.avail_out == 0);
            if (ret != Z_STREAM_END && ret != Z_DATA_ERROR && m_pfnCallback) {
                int nPercent = Percentage();
                m_pfnCallback(SFX_EV_PROGRESS, &nPercent, m_pUserData);
            }
        } while (ret != Z_STREAM_END && ret != Z_DATA_ERROR);
    } catch (const CFileException& e) {
        NoteFailure(e.m_cause);
        ret = Z_ERRNO;
    }
    inflateEnd(&m_stream);
    return ret == Z_STREAM_END && nWritten == nDeclared;
}

void CPayloadArchive::NoteFailure(int nCause)
{
    if (m_nFailureCause == CFileException::none)
        m_nFailureCause = nCause;
}

void CPayloadArchive::DeleteExtracted(CString strDirectory)
{
    for (int i = 0; i < m_nCount; ++i)
        if (!IsLabel(i))
            CFile::Remove(strDirectory + m_entries[i].strName);
}
