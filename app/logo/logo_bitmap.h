// A device-independent bitmap read from a .bmp file and painted pixel for pixel. The whole file
// after its 14-byte header stays in memory and goes to the device unchanged; a bitmap with a
// colour table also gets a GDI palette, selected while painting.
//
// Loading and the palette description are portable; the GDI palette and Paint live in
// logo_bitmap_win32.cpp.
#pragma once

#include "afx/afx.h"
#include "afx/afxcoord.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class CDC;
class CPalette;

// The 14-byte file header, as stored (little-endian).
struct LogoFileHeader {
    uint16_t bfType = 0;  // "BM"
    uint32_t bfSize = 0;  // size of the whole file as the header declares it
    uint16_t bfReserved1 = 0;
    uint16_t bfReserved2 = 0;
    uint32_t bfOffBits = 0;  // not used: the pixel array follows the colour table
};

// A palette description laid out like LOGPALETTE's entries: red, green, blue, flags.
struct LogoPaletteEntry {
    uint8_t peRed = 0;
    uint8_t peGreen = 0;
    uint8_t peBlue = 0;
    uint8_t peFlags = 0;
};

struct LogoPalette {
    uint16_t palVersion = 0x300;
    uint16_t palNumEntries = 0;
    std::vector<LogoPaletteEntry> palPalEntry;
};

constexpr uint16_t LOGO_BMP_TYPE = 0x4D42;  // "BM"
constexpr int LOGO_MAX_PATH = 512;          // m_szFileName, terminator included

class CLogoBitmap {
public:
    CLogoBitmap();
    virtual ~CLogoBitmap();

    CLogoBitmap(const CLogoBitmap&) = delete;
    CLogoBitmap& operator=(const CLogoBitmap&) = delete;

    // Reads the bitmap file at lpszPath. Returns 1 when the bitmap (and its palette, when it
    // has a colour table) is ready, 0 on any failure: a path that does not fit, a file that
    // cannot be opened or is not a "BM" file, a file shorter than its declared size, headers,
    // colour table or pixel array that do not lie within the declared size, or no memory.
    // Called once per object.
    int Load(const char* lpszPath);

    // Width and height in pixels (the height as a positive number also for a top-down bitmap).
    // Valid after a successful Load.
    CSize GetSize() const;

    // Draws the bitmap with its top-left corner at (x, y) of pDC. Returns 1 when it drew, 0 when
    // there is nothing to draw. Leaves the context's selected palette as it found it.
    int Paint(int x, int y, CDC* pDC);

    // What Load found, for the painter and for tests.
    int GetColorCount() const { return m_nColors; }
    const LogoPalette* GetLogPalette() const { return m_pLogPalette.get(); }
    const unsigned char* GetInfo() const { return m_pbmi; }
    const unsigned char* GetBits() const { return m_pBits; }
    const unsigned char* GetFileData() const { return m_pFileData.get(); }
    size_t GetFileDataSize() const { return m_nFileDataSize; }
    const LogoFileHeader& GetFileHeader() const { return m_bmfHeader; }
    bool HasGdiPalette() const { return m_pPalette != nullptr; }

private:
    int ParseBody();
    // Builds m_pLogPalette from the colour table and the GDI palette from it. Returns 1, or 0
    // when either cannot be made.
    int BuildPalette();
    // The GDI half of BuildPalette, and its undoing.
    int CreateGdiPalette();
    void DeleteGdiPalette();

    LogoFileHeader m_bmfHeader;
    const unsigned char* m_pbmi = nullptr;   // info header and colour table, inside m_pFileData
    const unsigned char* m_pBits = nullptr;  // pixel array, inside m_pFileData
    std::unique_ptr<unsigned char[]> m_pFileData;
    size_t m_nFileDataSize = 0;
    int m_nColors = 0;
    std::unique_ptr<LogoPalette> m_pLogPalette;
    CPalette* m_pPalette = nullptr;
    char m_szFileName[LOGO_MAX_PATH] = {0};

    // Info header fields.
    uint32_t m_nInfoSize = 0;
    int32_t m_nWidth = 0;
    int32_t m_nHeight = 0;
    uint16_t m_nBitCount = 0;
};
