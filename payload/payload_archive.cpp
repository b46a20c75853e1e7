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

CPayloadArchive::CPayloadArchive() : CPayloadArchive(AfxGetModuleFilePath()) {}

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
    for (PayloadEntry& e : m_entries)
        e.Clear();
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
    if (!file.Open(strPath, CFile::modeRead | CFile::shareDenyNone))
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
    int64_t D = 18;
    for (int k = nCount - 1; k >= 0; --k) {
        int32_t L, nCompressed, nUncompressed, nOffset;
        if (!in.ReadInt(D += 4, L) || L < 0 || L > SFX_MAX_NAME)
            return SFX_ERR_FORMAT;
        if (!in.ReadAt(D += L, name, unsigned(L)))
            return SFX_ERR_FORMAT;
        if (!in.ReadInt(D += 4, nCompressed) || !in.ReadInt(D += 4, nUncompressed) || !in.ReadInt(D += 4, nOffset))
            return SFX_ERR_FORMAT;
        if (nOffset < 0 || nOffset >= in.Length())
            return SFX_ERR_FORMAT;
        // The signature covers only what lies in front of the table: every stream must end there.
        if (in.BeforeSignature() && (nCompressed < 0 || int64_t(nOffset) + nCompressed > in.Length()))
            return SFX_ERR_FORMAT;

        const void* zero = std::memchr(name, 0, size_t(L));
        int nNameLength = zero ? int(static_cast<const char*>(zero) - name) : L;
        CString strName(name, nNameLength);
        // The label is shown, never written: its name is free text.
        const bool bLabel = k == nCount - 1 && nUncompressed == 0;
        if (!bLabel) {
            if (!SfxIsSafeEntryName(strName))
                return SFX_ERR_FORMAT;
            if (!fileKeys.insert(WindowsFileNameKey(name, size_t(nNameLength))).second)
                return SFX_ERR_FORMAT;
        }

        PayloadEntry& e = m_entries[k];
        e.nUncompressedSize = nUncompressed;
        e.nCompressedSize = nCompressed;
        e.strName = strName;
        e.nOffset = nOffset;
    }
    m_nCount = nCount;
    m_nDirLength = int(D);
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
    if (!file.Open(GetModulePath(), CFile::modeRead | CFile::shareDenyNone))
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
    if (!file.Open(GetModulePath(), CFile::modeRead | CFile::shareDenyNone))
        return SFX_ERR_REOPEN;
    nResult = InflateEntry(file, nIndex, strDirectory);
    file.Abort();
    return nResult;
}

int CPayloadArchive::Percentage() const
{
    // Wider than 32 bits and capped, so that a wrong size in the directory cannot make the
    // figures wrap or pass 100; for sizes that match the stream the result is the same.
    const uint64_t T = m_nEntrySize > 0 ? uint64_t(m_nEntrySize) : 0;
    const uint64_t done = m_stream.total_in;
    if (T == 0)
        return 100;
    uint64_t pct = T <= 10000000 ? done * 100 / T : done / (T / 100);
    return pct > 100 ? 100 : int(pct);
}

// Inflates one entry into directory + name. The result is SFX_OK only when the zlib stream
// reached its end and gave exactly the entry's uncompressed size, every byte written: a damaged,
// truncated, oversized or unreadable entry, or a full disk, gives SFX_ERR_EXTRACT and leaves no
// output file behind, so that a broken firmware image can never be taken for a good one.
int CPayloadArchive::InflateEntry(CFile& file, int nIndex, const CString& strDirectory)
{
    const PayloadEntry& entry = m_entries[nIndex];
    const CString strOutPath = strDirectory + entry.strName;
    CFile out;
    CFileException error;
    if (!out.Open(strOutPath, CFile::modeCreate | CFile::modeWrite | CFile::shareDenyNone, &error)) {
        NoteFailure(error.m_cause);
        return SFX_ERR_EXTRACT;
    }

    m_stream.next_in = Z_NULL;
    m_stream.avail_in = 0;
    m_stream.next_out = m_outBuf;
    m_stream.avail_out = SFX_IO_BUFFER;
    m_nEntrySize = entry.nCompressedSize;
    if (inflateInit(&m_stream) != Z_OK) {
        out.Abort();
        CFile::Remove(strOutPath);
        return SFX_ERR_EXTRACT;
    }

    // Writes out whatever the last inflate call produced; returns the number of bytes. Output
    // beyond the declared size is never written: a stream that would inflate to gigabytes
    // stops at the first block that passes the size.
    const int64_t nDeclared = entry.nUncompressedSize;
    int64_t nWritten = 0;
    bool bOversized = false;
    auto flush = [&]() -> unsigned {
        unsigned have = SFX_IO_BUFFER - m_stream.avail_out;
        if (have) {
            if (nWritten + have > nDeclared) {
                bOversized = true;
                return 0;
            }
            nWritten += have;
            out.Write(m_outBuf, have);
            m_stream.next_out = m_outBuf;
            m_stream.avail_out = SFX_IO_BUFFER;
        }
        return have;
    };

    bool bComplete = false;
    try {
        file.Seek(entry.nOffset, CFile::begin);
        // Input stops where the trailer ends: a stream that runs on into a signature's table,
        // which the signature does not cover, is cut there and fails.
        int64_t nPos = entry.nOffset;
        int ret = Z_OK;
        for (;;) {
            if (m_stream.avail_in == 0) {
                const int64_t nLeft = m_nStreamEnd - nPos;
                const unsigned nWant = nLeft >= SFX_IO_BUFFER ? SFX_IO_BUFFER : nLeft > 0 ? unsigned(nLeft) : 0;
                m_stream.avail_in = nWant ? file.Read(m_inBuf, nWant) : 0;
                m_stream.next_in = m_inBuf;
                nPos += m_stream.avail_in;
            }
            if (m_stream.avail_in == 0)
                break;
            ret = inflate(&m_stream, Z_NO_FLUSH);
            flush();
            if (ret != Z_OK || bOversized)
                break;
            if (m_pfnCallback) {
                int nPercent = Percentage();
                m_pfnCallback(SFX_EV_PROGRESS, &nPercent, m_pUserData);
            }
        }
        // The file ended while the stream was still open: let zlib hand out what it holds.
        // Without the end of the stream this still fails below.
        while (ret == Z_OK && !bOversized) {
            ret = inflate(&m_stream, Z_FINISH);
            if (flush() == 0)
                break;
        }
        bComplete = ret == Z_STREAM_END && !bOversized && nWritten == nDeclared;
        if (bComplete)
            out.Close();
    } catch (const CFileException& e) {
        NoteFailure(e.m_cause);
        bComplete = false;
    }
    inflateEnd(&m_stream);
    if (!bComplete) {
        out.Abort();
        CFile::Remove(strOutPath);
        return SFX_ERR_EXTRACT;
    }
    return SFX_OK;
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
