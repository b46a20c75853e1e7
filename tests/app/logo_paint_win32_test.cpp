// Painting the logo into a memory device context: the pixels that arrive, and the palette that
// the context has afterwards.
#include "afx/afxwin.h"
#include "app/logo/logo_bitmap.h"

#include "tests/app/test_files.h"

#include <gtest/gtest.h>

using test_support::Bmp;

namespace {

// A 24-bit top-down DIB section of 16 x 8 pixels, cleared to a marker colour, in a memory DC.
class Canvas {
public:
    Canvas()
    {
        BITMAPINFO bmi = {};
        bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
        bmi.bmiHeader.biWidth = kWidth;
        bmi.bmiHeader.biHeight = -kHeight;
        bmi.bmiHeader.biPlanes = 1;
        bmi.bmiHeader.biBitCount = 24;
        m_hDC = ::CreateCompatibleDC(nullptr);
        m_hBitmap = ::CreateDIBSection(m_hDC, &bmi, DIB_RGB_COLORS, reinterpret_cast<void**>(&m_pBits), nullptr, 0);
        m_hOld = ::SelectObject(m_hDC, m_hBitmap);
        for (int i = 0; i < kStride * kHeight; ++i)
            m_pBits[i] = 0x5A;
    }
    ~Canvas()
    {
        ::SelectObject(m_hDC, m_hOld);
        ::DeleteObject(m_hBitmap);
        ::DeleteDC(m_hDC);
    }

    HDC Dc() const { return m_hDC; }
    // Blue, green, red of pixel (x, y).
    const unsigned char* Pixel(int x, int y) const
    {
        ::GdiFlush();
        return m_pBits + y * kStride + 3 * x;
    }

    static constexpr int kWidth = 16;
    static constexpr int kHeight = 8;
    static constexpr int kStride = kWidth * 3;

private:
    HDC m_hDC;
    HBITMAP m_hBitmap;
    HGDIOBJ m_hOld;
    unsigned char* m_pBits = nullptr;
};

class LogoPaintTest : public ::testing::Test {
protected:
    std::string Write(const test_support::Bytes& data)
    {
        std::string path = m_dir.File("paint.bmp");
        EXPECT_TRUE(test_support::WriteFile(path, data));
        return path;
    }
    std::string Write(const Bmp& bmp) { return Write(bmp.Build()); }

    test_support::ScratchDir m_dir{"paint"};
};

TEST_F(LogoPaintTest, TrueColourPixelsArriveUnchangedAtThePoint)
{
    Bmp bmp;  // 4 x 3, bottom-up, bytes counting up from 0
    CLogoBitmap logo;
    ASSERT_EQ(1, logo.Load(Write(bmp).c_str()));
    Canvas canvas;
    CDC dc(canvas.Dc());
    ASSERT_EQ(1, logo.Paint(5, 2, &dc));

    for (int row = 0; row < 3; ++row) {
        for (int x = 0; x < 4; ++x) {
            // File row 0 is the bottom row: it lands on canvas row 2 + 2.
            const unsigned char* got = canvas.Pixel(5 + x, 2 + (2 - row));
            const int at = row * int(bmp.Stride()) + 3 * x;
            EXPECT_EQ(at & 0xFF, got[0]) << row << "," << x;
            EXPECT_EQ((at + 1) & 0xFF, got[1]) << row << "," << x;
            EXPECT_EQ((at + 2) & 0xFF, got[2]) << row << "," << x;
        }
    }
    // Nothing outside the bitmap's rectangle changes.
    EXPECT_EQ(0x5A, canvas.Pixel(4, 2)[0]);
    EXPECT_EQ(0x5A, canvas.Pixel(9, 2)[0]);
    EXPECT_EQ(0x5A, canvas.Pixel(5, 1)[0]);
    EXPECT_EQ(0x5A, canvas.Pixel(5, 5)[0]);
}

TEST_F(LogoPaintTest, PalettedPixelsUseTheColourTableAndThePaletteIsRestored)
{
    Bmp bmp;
    bmp.bitCount = 8;  // pixel byte v has blue v, green 2v, red 3v
    CLogoBitmap logo;
    ASSERT_EQ(1, logo.Load(Write(bmp).c_str()));
    Canvas canvas;

    // The context's own palette before and after painting.
    LOGPALETTE lp = {0x300, 1, {{1, 2, 3, 0}}};
    HPALETTE hMine = ::CreatePalette(&lp);
    ::SelectPalette(canvas.Dc(), hMine, FALSE);
    CDC dc(canvas.Dc());
    ASSERT_EQ(1, logo.Paint(0, 0, &dc));
    EXPECT_EQ(hMine, ::GetCurrentObject(canvas.Dc(), OBJ_PAL));

    // Bottom file row (pixel bytes 0..3) is canvas row 2.
    for (int x = 0; x < 4; ++x) {
        const unsigned char* got = canvas.Pixel(x, 2);
        EXPECT_EQ(x, got[0]) << x;
        EXPECT_EQ(2 * x, got[1]) << x;
        EXPECT_EQ(3 * x, got[2]) << x;
    }
    ::SelectPalette(canvas.Dc(), static_cast<HPALETTE>(::GetStockObject(DEFAULT_PALETTE)), FALSE);
    ::DeleteObject(hMine);
}

TEST_F(LogoPaintTest, ScanLineCountIsTheLowSixteenBitsOfTheHeight)
{
    Bmp bmp;
    bmp.width = 1;
    bmp.height = 65536 + 2;  // painted with 2 scan lines: the bottom two rows
    CLogoBitmap logo;
    ASSERT_EQ(1, logo.Load(Write(bmp).c_str()));
    Canvas canvas;
    CDC dc(canvas.Dc());
    // Placed so that the three bottom rows land on canvas rows 0 to 2.
    ASSERT_EQ(1, logo.Paint(0, -65535, &dc));
    for (int scan = 0; scan < 2; ++scan) {
        const unsigned char* got = canvas.Pixel(0, 2 - scan);
        EXPECT_EQ((4 * scan) & 0xFF, got[0]) << scan;
        EXPECT_EQ((4 * scan + 2) & 0xFF, got[2]) << scan;
    }
    EXPECT_EQ(0x5A, canvas.Pixel(0, 0)[0]) << "the third scan line is beyond the count";
    EXPECT_EQ(0x5A, canvas.Pixel(0, 0)[2]);
}

TEST_F(LogoPaintTest, NothingIsDrawnWithoutAPixelArray)
{
    Canvas canvas;
    CDC dc(canvas.Dc());
    CLogoBitmap empty;
    EXPECT_EQ(0, empty.Paint(0, 0, &dc));

    test_support::Bytes file = Bmp().Build();
    test_support::Set32(file, 22, 1000);  // more rows than the file holds
    CLogoBitmap refused;
    ASSERT_EQ(0, refused.Load(Write(file).c_str()));
    EXPECT_EQ(0, refused.Paint(0, 0, &dc));
    EXPECT_EQ(0x5A, canvas.Pixel(0, 0)[0]);
}

}  // namespace
