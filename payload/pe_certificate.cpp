#include "payload/pe_certificate.h"

#include "afx/little_endian.h"
#include <cstring>

namespace {

// Reads n bytes at nPos, or returns false when any of them would lie outside the file.
bool ReadAt(CFile& file, int64_t nLength, int64_t nPos, void* pBuf, unsigned n)
{
    if (nPos < 0 || nPos > nLength - int64_t(n))
        return false;
    file.Seek(nPos, CFile::begin);
    return file.Read(pBuf, n) == n;
}

const int64_t kDosHeaderSize = 64;
const int64_t kCoffHeaderSize = 20;
const unsigned kPe32Magic = 0x10B;
const unsigned kPe32PlusMagic = 0x20B;
const unsigned kSecurityDirectory = 4;
const int64_t kCertificateHeaderSize = 8;  // WIN_CERTIFICATE: dwLength, wRevision, wCertificateType

}  // namespace

PeCertificateTable PeReadCertificateTable(CFile& file)
{
    PeCertificateTable table;
    const int64_t nLength = int64_t(file.GetLength());

    unsigned char dos[kDosHeaderSize];
    if (!ReadAt(file, nLength, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z')
        return table;
    const int64_t nPe = LoadLE32(dos + 0x3C);
    unsigned char pe[4 + kCoffHeaderSize + 2];
    if (!ReadAt(file, nLength, nPe, pe, sizeof pe) || std::memcmp(pe, "PE\0\0", 4) != 0)
        return table;
    const unsigned nOptionalSize = LoadLE16(pe + 4 + 16);
    const unsigned nMagic = LoadLE16(pe + 4 + kCoffHeaderSize);
    unsigned nCountAt, nDirectoriesAt;
    if (nMagic == kPe32Magic) {
        nCountAt = 92;
        nDirectoriesAt = 96;
    } else if (nMagic == kPe32PlusMagic) {
        nCountAt = 108;
        nDirectoriesAt = 112;
    } else {
        return table;
    }
    const unsigned nEntryAt = nDirectoriesAt + 8 * kSecurityDirectory;
    if (nOptionalSize < nEntryAt + 8)
        return table;
    const int64_t nOptional = nPe + 4 + kCoffHeaderSize;
    unsigned char count[4], entry[8];
    if (!ReadAt(file, nLength, nOptional + nCountAt, count, 4) || LoadLE32(count) <= kSecurityDirectory ||
        !ReadAt(file, nLength, nOptional + nEntryAt, entry, 8))
        return table;
    const int64_t nOffset = LoadLE32(entry);
    const int64_t nSize = LoadLE32(entry + 4);
    if (nOffset == 0 && nSize == 0)
        return table;

    // A table that is not wholly inside the file, behind the headers and ending at the file's
    // end, is never read: its first record must also fit inside it.
    table.status = PE_CERT_DAMAGED;
    unsigned char first[kCertificateHeaderSize];
    if (nSize < kCertificateHeaderSize || nOffset < nOptional + nOptionalSize || nOffset + nSize != nLength ||
        !ReadAt(file, nLength, nOffset, first, sizeof first))
        return table;
    const int64_t nFirstLength = LoadLE32(first);
    if (nFirstLength < kCertificateHeaderSize || nFirstLength > nSize)
        return table;
    table.status = PE_CERT_TABLE;
    table.nOffset = nOffset;
    table.nSize = nSize;
    return table;
}

int64_t SfxTrailerEnd(CFile& file)
{
    const int64_t nLength = int64_t(file.GetLength());
    const PeCertificateTable table = PeReadCertificateTable(file);
    if (table.status == PE_CERT_NONE)
        return nLength;
    // A signed program's payload is only what the signature covers: the bytes in front of the
    // table. Whatever lies inside the table (which the signature's hash skips) or a table that
    // is not one a signer made gives no trailer at all.
    if (table.status != PE_CERT_TABLE || table.nOffset % PE_CERT_ALIGNMENT != 0)
        return 0;
    // Step back over the zero bytes the signer put in front of the table; the marker's last
    // byte is not zero, so the trailer's end is found unambiguously.
    unsigned char gap[PE_CERT_ALIGNMENT - 1];
    const int64_t nGapStart = table.nOffset - int64_t(sizeof gap);
    if (!ReadAt(file, nLength, nGapStart, gap, sizeof gap))
        return 0;
    int64_t nEnd = table.nOffset;
    for (int i = int(sizeof gap) - 1; i >= 0 && gap[i] == 0; --i)
        --nEnd;
    return nEnd;
}
