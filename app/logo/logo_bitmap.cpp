#include "app/logo/logo_bitmap.h"

#include "afx/little_endian.h"

#include <cstring>
#include <new>

namespace {

constexpr size_t kFileHeaderSize = 14;
constexpr uint32_t kInfoHeaderSize = 40;  // BITMAPINFOHEADER; the V4 and V5 headers extend it
constexpr uint32_t kRgb = 0;              // BI_RGB
constexpr uint32_t kBitfields = 3;        // BI_BITFIELDS

int ColorsForBitCount(uint16_t nBitCount)
{
    switch (nBitCount) {
        case 1:
            return 2;
        case 4:
            return 16;
        case 8:
            return 256;
        default:
            return 0;
    }
}

}  // namespace

CLogoBitmap::CLogoBitmap() = default;

CLogoBitmap::~CLogoBitmap()
{
    m_pFileData.reset();
    m_pLogPalette.reset();
    DeleteGdiPalette();
}

int CLogoBitmap::Load(const char* lpszPath)
{
    if (!lpszPath)
        return 0;
    size_t nPathLength = std::strlen(lpszPath);
    if (nPathLength >= sizeof m_szFileName)
        return 0;
    std::memcpy(m_szFileName, lpszPath, nPathLength + 1);

    // Opened without sharing: no one can change the file between the two reads.
    CFile file;
    if (!file.Open(m_szFileName, CFile::modeRead | CFile::shareExclusive))
        return 0;
    try {
        unsigned char header[kFileHeaderSize];
        if (file.Read(header, unsigned(kFileHeaderSize)) != kFileHeaderSize)
            return 0;
        m_bmfHeader.bfType = LoadLE16(header);
        m_bmfHeader.bfSize = LoadLE32(header + 2);
        m_bmfHeader.bfReserved1 = LoadLE16(header + 6);
        m_bmfHeader.bfReserved2 = LoadLE16(header + 8);
        m_bmfHeader.bfOffBits = LoadLE32(header + 10);
        if (m_bmfHeader.bfType != LOGO_BMP_TYPE)
            return 0;

        // The declared size must hold the headers, and the file must hold the declared size:
        // checked before allocating, so that a damaged size field cannot ask for gigabytes.
        if (m_bmfHeader.bfSize < kFileHeaderSize + kInfoHeaderSize)
            return 0;
        if (file.GetLength() < m_bmfHeader.bfSize)
            return 0;
        size_t n = m_bmfHeader.bfSize - kFileHeaderSize;
        m_pFileData.reset(new (std::nothrow) unsigned char[n]);
        if (!m_pFileData)
            return 0;
        m_nFileDataSize = n;
        // Bytes beyond the declared size are never read.
        if (file.Read(m_pFileData.get(), unsigned(n)) != n)
            return 0;
    } catch (const CFileException&) {
        return 0;
    }
    file.Abort();
    return ParseBody();
}

int CLogoBitmap::ParseBody()
{
    const unsigned char* p = m_pFileData.get();
    const size_t n = m_nFileDataSize;
    m_pbmi = p;
    m_nInfoSize = LoadLE32(p);
    m_nWidth = int32_t(LoadLE32(p + 4));
    m_nHeight = int32_t(LoadLE32(p + 8));
    m_nBitCount = LoadLE16(p + 14);
    const uint32_t nCompression = LoadLE32(p + 16);
    const uint32_t nSizeImage = LoadLE32(p + 20);
    m_nColors = ColorsForBitCount(m_nBitCount);

    // Smaller (OS/2) headers keep their fields elsewhere; a header cannot outgrow the data.
    if (m_nInfoSize < kInfoHeaderSize || m_nInfoSize > n)
        return 0;
    // The colour table holds the full number of entries for the bit depth and follows the info
    // header; the pixel array follows the table.
    const size_t nTableEnd = size_t(m_nInfoSize) + 4u * size_t(m_nColors);
    if (nTableEnd > n)
        return 0;

    // The device reads a whole pixel array from m_pBits: it must lie within the data read.
    if (m_nWidth <= 0 || m_nHeight == 0 || m_nHeight == INT32_MIN)
        return 0;
    const size_t nAvailable = n - nTableEnd;
    const uint64_t nRows = uint64_t(m_nHeight < 0 ? -int64_t(m_nHeight) : int64_t(m_nHeight));
    uint64_t nNeeded;
    if (nCompression == kRgb || nCompression == kBitfields) {
        const uint64_t nStride = (uint64_t(m_nWidth) * m_nBitCount + 31) / 32 * 4;
        if (nStride != 0 && nRows > nAvailable / nStride)
            return 0;
        nNeeded = nStride * nRows;
    } else {
        // Compressed rows: the device reads what the header says the image takes.
        if (nSizeImage == 0)
            return 0;
        nNeeded = nSizeImage;
    }
    if (nNeeded > nAvailable)
        return 0;
    m_pBits = p + nTableEnd;

    if (m_nColors != 0 && !BuildPalette())
        return 0;
    return 1;
}

CSize CLogoBitmap::GetSize() const
{
    return CSize(m_nWidth, m_nHeight < 0 ? -m_nHeight : m_nHeight);
}

int CLogoBitmap::BuildPalette()
{
    DeleteGdiPalette();
    m_pLogPalette.reset();

    std::unique_ptr<LogoPalette> pLogPalette(new (std::nothrow) LogoPalette);
    if (!pLogPalette)
        return 0;
    pLogPalette->palVersion = 0x300;
    pLogPalette->palNumEntries = uint16_t(m_nColors);
    try {
        pLogPalette->palPalEntry.resize(size_t(m_nColors));
    } catch (const std::bad_alloc&) {
        return 0;
    }
    // RGBQUAD stores blue, green, red, reserved; a palette entry red, green, blue, flags.
    const unsigned char* pTable = m_pbmi + m_nInfoSize;
    for (int i = 0; i < m_nColors; ++i) {
        LogoPaletteEntry& e = pLogPalette->palPalEntry[size_t(i)];
        e.peRed = pTable[4 * i + 2];
        e.peGreen = pTable[4 * i + 1];
        e.peBlue = pTable[4 * i + 0];
        e.peFlags = 0;
    }
    m_pLogPalette = std::move(pLogPalette);
    return CreateGdiPalette();
}
