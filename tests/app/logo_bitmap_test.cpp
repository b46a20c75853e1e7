// Loading the logo: formats that load and what they give, and damaged files that must not.
#include "app/logo/logo_bitmap.h"

#include "tests/app/test_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

using test_support::Bmp;
using test_support::Bytes;

namespace {

class LogoBitmapTest : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const Bytes& data)
    {
        std::string path = m_dir.File(name);
        EXPECT_TRUE(test_support::WriteFile(path, data));
        return path;
    }

    test_support::ScratchDir m_dir{"logo"};
};

TEST_F(LogoBitmapTest, TrueColourBitmapHasNoPaletteAndPixelsAfterTheInfoHeader)
{
    Bmp bmp;
    bmp.width = 354;
    bmp.height = 289;
    const Bytes file = bmp.Build();
    CLogoBitmap logo;
    ASSERT_EQ(1, logo.Load(Write("logo.bmp", file).c_str()));

    EXPECT_EQ(CSize(354, 289), logo.GetSize());
    EXPECT_EQ(0, logo.GetColorCount());
    EXPECT_EQ(nullptr, logo.GetLogPalette());
    EXPECT_FALSE(logo.HasGdiPalette());
    EXPECT_EQ(logo.GetFileData(), logo.GetInfo());
    EXPECT_EQ(40, logo.GetBits() - logo.GetFileData());  // file byte 54
    EXPECT_EQ(file.size() - 14, logo.GetFileDataSize());
    EXPECT_EQ(file[54 + 7], logo.GetBits()[7]);
}

TEST_F(LogoBitmapTest, ColourTableBecomesPaletteEntriesInOrder)
{
    for (uint16_t bits : {1, 4, 8}) {
        SCOPED_TRACE(bits);
        Bmp bmp;
        bmp.bitCount = bits;
        CLogoBitmap logo;
        ASSERT_EQ(1, logo.Load(Write("pal.bmp", bmp.Build()).c_str()));

        const int n = bmp.Colors();
        EXPECT_EQ(n, logo.GetColorCount());
        const LogoPalette* pal = logo.GetLogPalette();
        ASSERT_NE(nullptr, pal);
        EXPECT_EQ(0x300, pal->palVersion);
        ASSERT_EQ(n, pal->palNumEntries);
        ASSERT_EQ(size_t(n), pal->palPalEntry.size());
        for (int i = 0; i < n; ++i) {
            // The table holds blue i, green 2i, red 3i and a reserved byte that must not leak.
            const LogoPaletteEntry& e = pal->palPalEntry[size_t(i)];
            ASSERT_EQ(uint8_t(3 * i), e.peRed) << i;
            ASSERT_EQ(uint8_t(2 * i), e.peGreen) << i;
            ASSERT_EQ(uint8_t(i), e.peBlue) << i;
            ASSERT_EQ(0, e.peFlags) << i;
        }
        EXPECT_EQ(40 + 4 * n, logo.GetBits() - logo.GetFileData());
#ifdef _WIN32
        EXPECT_TRUE(logo.HasGdiPalette());
#endif
    }
}

TEST_F(LogoBitmapTest, LayoutFollowsTheBitDepthNotTheHeaderFields)
{
    // Fewer colours declared in use: the table is still read as 256 entries.
    Bmp fewer;
    fewer.bitCount = 8;
    fewer.clrUsed = 16;
    CLogoBitmap a;
    ASSERT_EQ(1, a.Load(Write("fewer.bmp", fewer.Build()).c_str()));
    EXPECT_EQ(256, a.GetLogPalette()->palNumEntries);
    EXPECT_EQ(40 + 1024, a.GetBits() - a.GetFileData());

    // Bytes beyond the declared size are neither read nor kept.
    Bytes longer = Bmp().Build();
    const size_t declared = longer.size();
    longer.insert(longer.end(), 100, 0xAB);
    CLogoBitmap b;
    ASSERT_EQ(1, b.Load(Write("longer.bmp", longer).c_str()));
    EXPECT_EQ(declared - 14, b.GetFileDataSize());

    // A top-down bitmap (negative height) has its real size.
    Bmp topDown;
    topDown.height = -3;
    CLogoBitmap c;
    ASSERT_EQ(1, c.Load(Write("topdown.bmp", topDown.Build()).c_str()));
    EXPECT_EQ(CSize(4, 3), c.GetSize());
}

struct Damage {
    const char* what;
    std::function<void(Bytes&)> apply;
};

TEST_F(LogoBitmapTest, DamagedFilesAreRefusedWithoutAPixelArray)
{
    using test_support::Set32;
    const Damage cases[] = {
        {"empty file", [](Bytes& b) { b.clear(); }},
        {"shorter than the file header", [](Bytes& b) { b.resize(10); }},
        {"not BM", [](Bytes& b) { b[1] = 'A'; }},
        {"BM reversed", [](Bytes& b) { std::swap(b[0], b[1]); }},
        {"cut short of the declared size", [](Bytes& b) { b.pop_back(); }},
        {"declared size below the file header", [](Bytes& b) { Set32(b, 2, 13); }},
        {"declared size zero", [](Bytes& b) { Set32(b, 2, 0); }},
        {"declared size below the info header", [](Bytes& b) { Set32(b, 2, 30); }},
        {"declared size far beyond the file", [](Bytes& b) { Set32(b, 2, 0xFFFFFFF0u); }},
        {"OS/2 core header", [](Bytes& b) { Set32(b, 14, 12); }},
        {"info header longer than the data", [](Bytes& b) { Set32(b, 14, 1000); }},
        {"more rows than the data holds", [](Bytes& b) { Set32(b, 22, 1000); }},
        {"wider than the data holds", [](Bytes& b) { Set32(b, 18, 1000); }},
        {"width times height overflows", [](Bytes& b) { Set32(b, 18, 0x7FFFFFFF), Set32(b, 22, 0x7FFFFFFF); }},
        {"zero width", [](Bytes& b) { Set32(b, 18, 0); }},
        {"negative width", [](Bytes& b) { Set32(b, 18, uint32_t(-4)); }},
        {"zero height", [](Bytes& b) { Set32(b, 22, 0); }},
        {"compressed without an image size", [](Bytes& b) { Set32(b, 30, 1), Set32(b, 34, 0); }},
        {"compressed image larger than the data", [](Bytes& b) { Set32(b, 30, 1), Set32(b, 34, 100000); }},
    };
    for (const Damage& d : cases) {
        SCOPED_TRACE(d.what);
        Bytes file = Bmp().Build();
        d.apply(file);
        CLogoBitmap logo;
        EXPECT_EQ(0, logo.Load(Write("damaged.bmp", file).c_str()));
        EXPECT_EQ(nullptr, logo.GetBits());
    }

    // A colour table that does not fit: an 8-bit header whose file ends inside the table.
    Bmp pal;
    pal.bitCount = 8;
    Bytes cut = pal.Build();
    cut.resize(14 + 40 + 100);
    Set32(cut, 2, uint32_t(cut.size()));
    CLogoBitmap logo;
    EXPECT_EQ(0, logo.Load(Write("table.bmp", cut).c_str()));
    EXPECT_EQ(nullptr, logo.GetBits());
    EXPECT_EQ(nullptr, logo.GetLogPalette());
}

TEST_F(LogoBitmapTest, PathsThatCannotBeReadFailAndFilesAreLeftClosed)
{
    CLogoBitmap missing;
    EXPECT_EQ(0, missing.Load((m_dir.File("missing.bmp")).c_str()));
    CLogoBitmap overlong;
    EXPECT_EQ(0, overlong.Load((m_dir.Dir() + std::string(600, 'x') + ".bmp").c_str()));
    CLogoBitmap none;
    EXPECT_EQ(0, none.Load(nullptr));

    // Neither a loaded nor a refused file stays open (it could not be deleted on Windows).
    const std::string good = Write("good.bmp", Bmp().Build());
    Bytes bad = Bmp().Build();
    bad.pop_back();
    const std::string refused = Write("bad.bmp", bad);
    CLogoBitmap a, b;
    ASSERT_EQ(1, a.Load(good.c_str()));
    ASSERT_EQ(0, b.Load(refused.c_str()));
    EXPECT_TRUE(std::filesystem::remove(good));
    EXPECT_TRUE(std::filesystem::remove(refused));
}

}  // namespace
