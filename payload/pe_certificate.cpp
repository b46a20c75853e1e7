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

// Where the fields read here lie, as Microsoft's PE format describes them.
const int64_t kDosHeaderSize = 64;
const int64_t kDosPeOffsetAt = 0x3C;  // e_lfanew: the file offset of the PE signature
const int64_t kPeSignatureSize = 4;   // "PE\0\0"
const int64_t kCoffHeaderSize = 20;
const int64_t kCoffOptionalSizeAt = 16;  // SizeOfOptionalHeader, in the COFF header
const unsigned kPe32Magic = 0x10B;
const unsigned kPe32PlusMagic = 0x20B;
// In the optional header: the number of data directories, and the directories themselves.
const unsigned kPe32DirectoryCountAt = 92;
const unsigned kPe32DirectoriesAt = 96;
const unsigned kPe32PlusDirectoryCountAt = 108;
const unsigned kPe32PlusDirectoriesAt = 112;
const unsigned kDirectoryEntrySize = 8;  // file offset (for this directory) and size
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
    const int64_t nPe = LoadLE32(dos + kDosPeOffsetAt);
    // The signature, the COFF header and the optional header's magic number.
    unsigned char pe[kPeSignatureSize + kCoffHeaderSize + 2];
    if (!ReadAt(file, nLength, nPe, pe, sizeof pe) || std::memcmp(pe, "PE\0\0", kPeSignatureSize) != 0)
        return table;
    const unsigned nOptionalSize = LoadLE16(pe + kPeSignatureSize + kCoffOptionalSizeAt);
    const unsigned nMagic = LoadLE16(pe + kPeSignatureSize + kCoffHeaderSize);
    unsigned nCountAt, nDirectoriesAt;
    if (nMagic == kPe32Magic) {
        nCountAt = kPe32DirectoryCountAt;
        nDirectoriesAt = kPe32DirectoriesAt;
    } else if (nMagic == kPe32PlusMagic) {
        nCountAt = kPe32PlusDirectoryCountAt;
        nDirectoriesAt = kPe32PlusDirectoriesAt;
    } else {
        return table;
    }
    const unsigned nEntryAt = nDirectoriesAt + kDirectoryEntrySize * kSecurityDirectory;
    if (nOptionalSize < nEntryAt + kDirectoryEntrySize)
        return table;
    const int64_t nOptional = nPe + kPeSignatureSize + kCoffHeaderSize;
    unsigned char count[4], entry[kDirectoryEntrySize];
    if (!ReadAt(file, nLength, nOptional + nCountAt, count, sizeof count) || LoadLE32(count) <= kSecurityDirectory ||
        !ReadAt(file, nLength, nOptional + nEntryAt, entry, sizeof entry))
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
