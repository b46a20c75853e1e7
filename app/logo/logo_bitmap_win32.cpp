// The GDI half of CLogoBitmap: the palette object and painting.
#include "app/logo/logo_bitmap.h"

#include "afx/afxwin.h"

#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

static_assert(sizeof(LogoPaletteEntry) == sizeof(PALETTEENTRY), "palette entries must match GDI's");
static_assert(offsetof(LogoPaletteEntry, peRed) == offsetof(PALETTEENTRY, peRed), "red first");
static_assert(offsetof(LogoPaletteEntry, peBlue) == offsetof(PALETTEENTRY, peBlue), "blue third");

int CLogoBitmap::CreateGdiPalette()
{
    CPalette* pPalette = new (std::nothrow) CPalette;
    if (!pPalette)
        return 0;
    // LOGPALETTE ends in a one-entry array that really holds palNumEntries entries.
    const size_t nEntries = m_pLogPalette->palPalEntry.size();
    std::vector<unsigned char> buffer(offsetof(LOGPALETTE, palPalEntry) + nEntries * sizeof(PALETTEENTRY) +
                                      sizeof(PALETTEENTRY));
    LOGPALETTE* pLog = reinterpret_cast<LOGPALETTE*>(buffer.data());
    pLog->palVersion = m_pLogPalette->palVersion;
    pLog->palNumEntries = m_pLogPalette->palNumEntries;
    std::memcpy(pLog->palPalEntry, m_pLogPalette->palPalEntry.data(), nEntries * sizeof(PALETTEENTRY));
    pPalette->CreatePalette(pLog);
    m_pPalette = pPalette;
    return 1;
}

void CLogoBitmap::DeleteGdiPalette()
{
    delete m_pPalette;  // deletes its GDI palette
    m_pPalette = nullptr;
}

int CLogoBitmap::Paint(int x, int y, CDC* pDC)
{
    if (!m_pBits || !pDC)
        return 0;

    CPaletteSelection palette(pDC, m_pPalette, TRUE);
    if (m_pPalette)
        pDC->RealizePalette();
    pDC->SetStretchBltMode(COLORONCOLOR);
    const CSize size = GetSize();
    // The scan-line count is the low 16 bits of the height: a bitmap of more than 65535 rows
    // paints only that many of its first (bottom) scan lines.
    const UINT nScanLines = UINT(uint16_t(size.cy));
    ::SetDIBitsToDevice(pDC->m_hDC, x, y, DWORD(size.cx), DWORD(size.cy), 0, 0, 0, nScanLines, m_pBits,
                        reinterpret_cast<const BITMAPINFO*>(m_pbmi), DIB_RGB_COLORS);
    return 1;
}
