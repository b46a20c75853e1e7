// The S-record reader and the chip list: what a good file gives, and one damaged input per row
// with the reason it must be refused for.
#include "tools/sirfflashcl/chip_list.h"
#include "tests/device/device_test_support.h"
#include "tools/sirfflashcl/srec_reader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace {

const char kS7[] = "S70500000000FA\r\n";

TEST(SRecords, AllAddressSizesMergedDatabaseAndLooseFormatting)
{
    // S1, S2 and S3 data, out of address order, a header, a count record, a database merged
    // after the count record, lowercase hex, LF-only and blank-padded lines.
    const std::string text =
        "S00600004844521B\r\n"
        "S3090000100001020304DC\r\n"  // 0x1000: 01 02 03 04
        "S1070FFC0A0B0C0DBF\r\n"      // 0x0FFC: 0A 0B 0C 0D, just before
        "S208010000112233444C\n"      // 0x10000: 11 22 33 44
        "S5030003F9   \r\n"
        "S30900001004aabbccddd4\r\n"  // the database: continues 0x1000, lowercase
        + std::string(kS7);
    SRecordImage image;
    std::string error;
    ASSERT_TRUE(ParseSRecords(text, image, error)) << error;
    ASSERT_EQ(image.segments.size(), 2u);
    EXPECT_EQ(image.segments[0].address, 0x0FFCu);
    EXPECT_EQ(image.segments[0].data,
              (std::vector<uint8_t>{0x0A, 0x0B, 0x0C, 0x0D, 1, 2, 3, 4, 0xAA, 0xBB, 0xCC, 0xDD}));
    EXPECT_EQ(image.segments[1].address, 0x10000u);
    EXPECT_EQ(image.TotalBytes(), 16u);
}

TEST(SRecords, RoundTripOfALargeImageWithOverlapThatAgrees)
{
    const std::vector<uint8_t> bytes = test_support::FirmwareLikeBytes(70000, 9);
    std::string text = test_support::ToSRecords({{0x7FF0, bytes}}, 28);
    // The same bytes once more (a database that repeats a record) are accepted.
    const std::string again = test_support::ToSRecords({{0x8000, {bytes.begin() + 16, bytes.begin() + 48}}});
    text.insert(text.size() - 16, again.substr(18, again.size() - 18 - 16));
    SRecordImage image;
    std::string error;
    ASSERT_TRUE(ParseSRecords(text, image, error)) << error;
    ASSERT_EQ(image.segments.size(), 1u);
    EXPECT_EQ(image.segments[0].address, 0x7FF0u);
    EXPECT_EQ(image.segments[0].data, bytes);
}

struct BadFile {
    const char* text;
    const char* reason;  // part of the error text
};

const BadFile kBadFiles[] = {
    {"S3090000100001020304DD\r\nS70500000000FA\r\n", "line 1: checksum is DD"},
    {"S30A0000100001020304DC\r\nS70500000000FA\r\n", "byte count"},
    {"S3080000100001020304DC\r\nS70500000000FA\r\n", "byte count"},
    {"S309000010000102030\r\nS70500000000FA\r\n", "odd number"},
    {"S3090000100001020G04DC\r\nS70500000000FA\r\n", "not a hex digit"},
    {"S409000010000102030DC\r\nS70500000000FA\r\n", "S4"},
    {"S3090000100001020304DC\r\n", "cut off"},
    {"S3090000100001020304DC\r\nS3090000100001", "byte count"},
    {"S3090000100001020304DC\r\nS70600000000AA4F\r\n", "carries data"},
    {"S3090000100001020304DC\r\n:10010000214601360121470136007EFE09D2190140\r\nS70500000000FA\r\n",
     "line 2: not an S-record"},
    {"", "no data records"},
    {"S00600004844521B\r\nS70500000000FA\r\n", "no data records"},
    {"S3090000100001020304DC\r\nS3090000100201020304DA\r\nS70500000000FA\r\n", "line 2: data at 0x00001002 overlaps"},
    {"S309FFFFFFFE01020304F1\r\nS70500000000FA\r\n", "4 GiB"},
    {"S304000010EB\r\nS70500000000FA\r\n", "too short"},
};

TEST(SRecords, DamagedFilesAreRefusedWithTheReason)
{
    for (const BadFile& bad : kBadFiles) {
        SCOPED_TRACE(bad.text);
        SRecordImage image;
        std::string error;
        EXPECT_FALSE(ParseSRecords(bad.text, image, error));
        EXPECT_NE(error.find(bad.reason), std::string::npos) << error;
        EXPECT_TRUE(image.segments.empty());
    }
}

TEST(ChipLists, ShippedListParsesAndBadListsAreRefused)
{
    ChipList list;
    std::string error;
    ASSERT_TRUE(
        list.Parse("# comment\n\nGSP3 0x100000 0x10000 0xF0000-0xFFFFF\r\n"
                   "GSP2e/LPx 1048576 4096 1044480-1048575 # inline\n",
                   error))
        << error;
    ASSERT_NE(list.Find("GSP2e/LPx"), nullptr);
    EXPECT_EQ(list.Find("GSP2e/LPx")->sectorSize, 0x1000u);
    EXPECT_EQ(list.Find("GSP2e/LPx")->userFirst, 0xFF000u);
    EXPECT_EQ(list.Find("GSP3")->userLast, 0xFFFFFu);
    // A version's family: the longest prefix that matches; on a tie, the family listed first.
    ASSERT_TRUE(
        list.Parse("A 0x100000 0x10000 0xF0000-0xFFFFF GSW2,GSW3\nB 0x100000 0x10000 0xF0000-0xFFFFF "
                   "GSW2t,GSW3\nC 0x100000 0x10000 0xF0000-0xFFFFF -\n",
                   error))
        << error;
    EXPECT_EQ(sirf::FamilyOfVersion("GSW2t.1", list.VersionPrefixes()), "B");
    EXPECT_EQ(sirf::FamilyOfVersion("GSW2.3.2", list.VersionPrefixes()), "A");
    EXPECT_EQ(sirf::FamilyOfVersion("GSW3.2.4", list.VersionPrefixes()), "A");
    EXPECT_EQ(sirf::FamilyOfVersion("GSD4e_4.1.2", list.VersionPrefixes()), "");
    // A prefix begins any token: the family token may follow a numeric build.
    EXPECT_EQ(sirf::FamilyOfVersion("2.3.2-GSW2t-x", list.VersionPrefixes()), "B");
    EXPECT_EQ(sirf::FamilyOfVersion("2.3.2-GSW2-x", list.VersionPrefixes()), "A");
    EXPECT_EQ(sirf::FamilyOfVersion("2.3.2XGSW2", list.VersionPrefixes()), "");
    EXPECT_EQ(list.Find("GSP3e"), nullptr);
    EXPECT_EQ(list.Find("gsp3"), nullptr);
    EXPECT_EQ(list.LargestFlash(), 0x100000u);

    struct Bad {
        const char* text;
        const char* reason;  // part of the error
    };
    const Bad bad[] = {
        {"GSP3 0x100000 0x10000\n", "expected a name"},  // the user positions missing
        {"GSP3 0x100000 0x10000 0xF0000-0xFFFFF GSW3 x\n", "expected a name"},
        {"GSP3 0x100000 0x10000 0xF0000-0xFFFFF x\n", "version prefixes"},
        {"GSP3 0x100000 0x10000 0xF0000-0xFFFFF GSW3,,GSWLT3\n", "version prefixes"},
        {"GSP3 0x100000 0x10000 0xF0000\n", "must be numbers"},
        {"GSP3 1M 0x10000 0xF0000-0xFFFFF\n", "must be numbers"},
        {"GSP3 -5 0x10000 0xF0000-0xFFFFF\n", "must be numbers"},
        {"GSP3 0x100000 1 0xF0000-0xFFFFF\n", "power of two"},
        {"GSP3 0x100000 0x800 0xF0000-0xFFFFF\n", "at least 4 KiB"},
        {"GSP3 0x100000 0x30000 0xF0000-0xFFFFF\n", "power of two"},
        {"GSP3 0x108000 0x10000 0xF0000-0xFFFFF\n", "whole number of sectors"},
        {"GSP3 0 0x10000 0x0-0xFFFF\n", "whole number of sectors"},
        {"GSP3 0x2000000 0x10000 0xF0000-0xFFFFF\n", "at most 16 MiB"},
        {"GSP3 0x100000 0x10000 0xF0000-0x10FFFF\n", "inside the flash"},
        {"GSP3 0x100000 0x10000 0xFFFFF-0xF0000\n", "inside the flash"},
        {"GSP3 0x100000 0x10000 0xF8000-0xFFFFF\n", "whole sectors"},
        {"GSP3 0x100000 0x10000 0xF0000-0xF7FFF\n", "whole sectors"},
        {"GSP3 0x100000 0x10000 0xF0000-0xFFFFF\nGSP3 0x80000 0x10000 0x70000-0x7FFFF\n",
         "line 2: chip GSP3 is listed twice"},
        {"# nothing\n", "names no chip"},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.text);
        EXPECT_FALSE(list.Parse(b.text, error));
        EXPECT_NE(error.find(b.reason), std::string::npos) << error;
        EXPECT_TRUE(list.Chips().empty());
    }
}

TEST(ChipLists, BuiltInListIsTheShippedFile)
{
    std::ifstream in(SIRFFLASH_SHIPPED_CHIPLIST, std::ios::binary);
    ASSERT_TRUE(in) << SIRFFLASH_SHIPPED_CHIPLIST;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ChipList shipped;
    std::string error;
    ASSERT_TRUE(shipped.Parse(text, error)) << error;
    const std::vector<ChipLayout>& a = shipped.Chips();
    const std::vector<ChipLayout> b = ChipList::BuiltIn().Chips();
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        SCOPED_TRACE(a[i].name);
        EXPECT_EQ(a[i].name, b[i].name);
        EXPECT_EQ(a[i].flashSize, b[i].flashSize);
        EXPECT_EQ(a[i].sectorSize, b[i].sectorSize);
        EXPECT_EQ(a[i].versionPrefixes, b[i].versionPrefixes);
        EXPECT_EQ(a[i].userFirst, b[i].userFirst);
        EXPECT_EQ(a[i].userLast, b[i].userLast);
    }
}

}  // namespace
