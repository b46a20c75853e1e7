// GDI objects and device contexts of our MFC-like layer.
#include "afx/afxwin.h"

CGdiObject::~CGdiObject()
{
    DeleteObject();
}

BOOL CGdiObject::Attach(HGDIOBJ hObject)
{
    if (!hObject)
        return FALSE;
    m_hObject = hObject;
    return TRUE;
}

HGDIOBJ CGdiObject::Detach()
{
    HGDIOBJ h = m_hObject;
    m_hObject = nullptr;
    return h;
}

BOOL CGdiObject::DeleteObject()
{
    if (!m_hObject)
        return FALSE;
    return ::DeleteObject(Detach());
}

BOOL CPalette::CreatePalette(const LOGPALETTE* lpLogPalette)
{
    return Attach(::CreatePalette(lpLogPalette));
}

HPALETTE CDC::SelectPalette(HPALETTE hPalette, BOOL bForceBackground)
{
    return ::SelectPalette(m_hDC, hPalette, bForceBackground);
}

HPALETTE CDC::SelectPalette(CPalette* pPalette, BOOL bForceBackground)
{
    return SelectPalette(pPalette ? static_cast<HPALETTE>(*pPalette) : nullptr, bForceBackground);
}

CPaletteSelection::CPaletteSelection(CDC* pDC, CPalette* pPalette, BOOL bForceBackground)
    : m_pDC(pDC), m_bForceBackground(bForceBackground)
{
    if (pPalette)
        m_hOldPalette = m_pDC->SelectPalette(pPalette, bForceBackground);
}

CPaletteSelection::~CPaletteSelection()
{
    if (m_hOldPalette)
        m_pDC->SelectPalette(m_hOldPalette, m_bForceBackground);
}

UINT CDC::RealizePalette()
{
    return ::RealizePalette(m_hDC);
}

int CDC::SetStretchBltMode(int nStretchMode)
{
    return ::SetStretchBltMode(m_hDC, nStretchMode);
}

BOOL CDC::DrawIcon(int x, int y, HICON hIcon)
{
    return ::DrawIcon(m_hDC, x, y, hIcon);
}

CPaintDC::CPaintDC(CWnd* pWnd) : m_hWnd(pWnd->m_hWnd)
{
    m_hDC = ::BeginPaint(m_hWnd, &m_ps);
}

CPaintDC::~CPaintDC()
{
    ::EndPaint(m_hWnd, &m_ps);
}

CClientDC::CClientDC(CWnd* pWnd) : m_hWnd(pWnd->m_hWnd)
{
    m_hDC = ::GetDC(m_hWnd);
}

CClientDC::~CClientDC()
{
    if (m_hDC)
        ::ReleaseDC(m_hWnd, m_hDC);
}
