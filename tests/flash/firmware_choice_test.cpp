// Choosing the firmware file for a chip among extracted payload entries and merging the
// database into it, on real files extracted from a payload written here.
#include "flash/firmware_choice.h"
#include "payload/payload_writer.h"
#include "tests/support/files.h"
#include "tests/support/scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using test_support::ReadText;

namespace {

typedef std::vector<std::pair<std::string, std::string>> Entries;  // name, content

// A program file with a payload behind a stand-in executable.
void WritePayloadFile(const fs::path& path, const Entries& entries)
{
    const std::string program = "MZ stand-in for the updater program";
    CPayloadWriter writer(SfxBytes(program.begin(), program.end()));
    for (const auto& e : entries)
        ASSERT_TRUE(writer.AddEntry(e.first, SfxBytes(e.second.begin(), e.second.end())));
    const SfxBytes file = writer.Finish();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
}

const std::string kTerminator = "S70500000000FA\r\n";
// The database is copied byte for byte and never examined: any bytes do as one here.
const std::string kFirmware = "S00600004844521B\r\nS3150000000046464646464646464646464646464646A6\r\n" + kTerminator;

// A payload extracted into a fresh directory, and the firmware image over it.
class FirmwareChoiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(m_root / "out");
        m_dir = (m_root / "out").string() + AFX_PATH_SEPARATOR;
    }
    void TearDown() override
    {
        m_pImage.reset();
        m_pArchive.reset();
    }

    CFirmwareChoice& Extract(const Entries& entries)
    {
        WritePayloadFile(m_root / "release.exe", entries);
        m_pArchive = std::make_unique<CPayloadArchive>(CString((m_root / "release.exe").string()));
        EXPECT_EQ(m_pArchive->ExtractAll(m_dir, nullptr, nullptr), SFX_OK);
        m_pImage =
            std::make_unique<CFirmwareChoice>(*m_pArchive, m_dir, [this](const char* t) { m_messages.push_back(t); });
        return *m_pImage;
    }
    void ExtractAgain()
    {
        ASSERT_EQ(m_pArchive->ExtractAll(m_dir, nullptr, nullptr), SFX_OK);
        m_pImage->OnExtracted();
    }
    std::string Extracted(const std::string& name) const { return ReadText(fs::path(m_dir.str()) / name); }

    test_support::ScratchDir m_scratch{"fwimage"};
    fs::path m_root = m_scratch.Path();
    CString m_dir;
    std::unique_ptr<CPayloadArchive> m_pArchive;
    std::unique_ptr<CFirmwareChoice> m_pImage;
    std::vector<std::string> m_messages;
};

}  // namespace

TEST_F(FirmwareChoiceTest, EndingsCompareTheLastTwoCharactersOnly)
{
    const struct {
        Entries entries;
        const char* ending;
        const char* match;
    } rows[] = {
        {{{"Update.S", "x"}}, "s", "update.s"},  // the dot before a lone letter, any case
        {{{"updates", "x"}}, "s", ""},           // no dot before it
        {{{"fw.S3", "x"}}, "s3", "fw.s3"},
        {{{"fw.s2x", "x"}, {"fw.s2", "x"}}, "s2", "fw.s2"},  // "2x" does not end like "s2"
        {{{"FW.Q2X", "x"}}, "s2x", "fw.q2x"},                // only "2x" counts
        {{{"datab0", "x"}}, "db0", "datab0"},                // only "b0" counts
        {{{"a.s2", "x"}, {"b.s2", "x"}}, "s2", "a.s2"},      // the first match wins
        {{{"s", "x"}, {"2", "x"}}, "s", ""},                 // a name of one character never matches
        {{{"x.s3", "x"}}, "s2", ""},
    };
    for (const auto& r : rows) {
        CFirmwareChoice& image = Extract(r.entries);
        EXPECT_EQ(image.FindEntryBySuffix(r.ending), CString(r.match)) << r.entries[0].first << " / " << r.ending;
    }
}

TEST_F(FirmwareChoiceTest, WithoutDatabaseTheOneFirmwareIsUsedUnchanged)
{
    CFirmwareChoice& image = Extract({{"Logo.bmp", "BM"}, {"Update.S", kFirmware}, {"label", ""}});
    for (int chip : {3, 2, 1, 128}) {
        image.ChooseFirmware(chip);
        EXPECT_EQ(image.m_strDatabase, CString());
        EXPECT_EQ(image.m_strFirmware, CString("update.s"));
    }
    EXPECT_EQ(Extracted("Update.S"), kFirmware);
}

TEST_F(FirmwareChoiceTest, ChipTypeSelectsTheFirmwareAndTheDatabaseGoesInOnce)
{
    const std::string db = std::string(100, 'D');
    // The lower-cased name finds the extracted file where file names ignore case.
#ifdef _WIN32
    const char* const kS3 = "GPS.S3";
#else
    const char* const kS3 = "gps.s3";
#endif
    CFirmwareChoice& image =
        Extract({{"gps.s2", kFirmware}, {"gps.s2x", kFirmware}, {kS3, kFirmware}, {"pos.db0", db}});
    const struct {
        int chip;
        const char* firmware;
        const char* file;
    } rows[] = {{3, "gps.s3", kS3},      {2, "gps.s2x", "gps.s2x"}, {1, "gps.s2", "gps.s2"},
                {0, "gps.s2", "gps.s2"}, {128, "gps.s2", "gps.s2"}, {255, "gps.s2", "gps.s2"}};
    const std::string merged = kFirmware.substr(0, kFirmware.size() - 16) + db + kTerminator;
    for (const auto& r : rows) {
        image.ChooseFirmware(r.chip);
        EXPECT_EQ(image.m_strDatabase, CString("pos.db0"));
        EXPECT_EQ(image.m_strFirmware, CString(r.firmware)) << r.chip;
        EXPECT_EQ(Extracted(r.file), merged) << "merged once, for chip " << r.chip;
    }
    EXPECT_TRUE(m_messages.empty());

    // A new extraction brings fresh files, and nothing chosen before it stands: they are chosen
    // and merged again, once.
    ExtractAgain();
    EXPECT_TRUE(image.m_strFirmware.IsEmpty() && image.m_strDatabase.IsEmpty());
    EXPECT_EQ(Extracted(kS3), kFirmware);
    image.ChooseFirmware(3);
    image.ChooseFirmware(3);
    EXPECT_EQ(Extracted(kS3), merged);
}

TEST_F(FirmwareChoiceTest, DatabaseWithoutFirmwareForTheChipChangesNothing)
{
    CFirmwareChoice& image = Extract({{"gps.s3", kFirmware}, {"pos.db0", "S1..."}});
    image.ChooseFirmware(1);
    EXPECT_EQ(image.m_strDatabase, CString("pos.db0"));
    EXPECT_EQ(image.m_strFirmware, CString());
    EXPECT_EQ(Extracted("gps.s3"), kFirmware);
}

namespace {
// Reads fail after nGood reads; records the sizes asked for.
class FlakyFirmwareChoice : public CFirmwareChoice {
public:
    using CFirmwareChoice::CFirmwareChoice;
    int nGood = 1 << 30;
    bool bShort = false;  // end early instead of failing
    std::vector<unsigned> asked;

protected:
    unsigned ReadDatabase(CFile& database, void* pBuffer, unsigned nCount) override
    {
        asked.push_back(nCount);
        if (int(asked.size()) > nGood) {
            if (bShort)
                return 0;
            throw CFileException(CFileException::hardIO);
        }
        return CFirmwareChoice::ReadDatabase(database, pBuffer, nCount);
    }
};
}  // namespace

TEST_F(FirmwareChoiceTest, EmptyAndMultiBlockDatabases)
{
    const std::string db2500(2500, 'd');
    CFirmwareChoice& image = Extract({{"a.s2", kFirmware}, {"empty.db0", ""}, {"b.s3", kFirmware}});
    image.ChooseFirmware(1);
    EXPECT_EQ(image.m_strFirmware, CString("a.s2"));
    EXPECT_EQ(Extracted("a.s2"), kFirmware) << "an empty database leaves the image as it was";

    std::ofstream(fs::path(m_dir.str()) / "big.db0", std::ios::binary) << db2500;
    FlakyFirmwareChoice counting(*m_pArchive, m_dir, nullptr);
    EXPECT_TRUE(counting.MergeDatabase(m_dir + "b.s3", m_dir + "big.db0"));
    EXPECT_EQ(counting.asked, (std::vector<unsigned>{1024, 1024, 452}));
    const std::string merged = Extracted("b.s3");
    EXPECT_EQ(merged.size(), kFirmware.size() + 2500);
    EXPECT_EQ(merged, kFirmware.substr(0, kFirmware.size() - 16) + db2500 + kTerminator);
}

TEST_F(FirmwareChoiceTest, MergeThatCannotCompleteLeavesNoFirmwareToFlash)
{
    const std::string db = std::string(3000, 'E');
    for (bool bShort : {false, true}) {
        m_messages.clear();
        Extract({{"a.s3", kFirmware}, {"p.db0", db}});
        FlakyFirmwareChoice image(*m_pArchive, m_dir, [this](const char* t) { m_messages.push_back(t); });
        image.nGood = 2;
        image.bShort = bShort;
        image.ChooseFirmware(3);
        EXPECT_EQ(image.m_strFirmware, CString()) << "short " << bShort;
        EXPECT_EQ(m_messages, std::vector<std::string>{"Error.. Cannot receive from file"});
        // What was copied still ends with the S7 record, but it is never offered again.
        const std::string now = Extracted("a.s3");
        EXPECT_EQ(now.substr(now.size() - 16), kTerminator);
        image.ChooseFirmware(3);
        EXPECT_EQ(image.m_strFirmware, CString());
        EXPECT_EQ(m_messages.size(), 1u) << "no second attempt on the damaged file";
    }
}

TEST_F(FirmwareChoiceTest, FilesThatCannotTakeTheDatabaseAreLeftAlone)
{
    const struct {
        const char* why;
        std::string firmware;
    } rows[] = {
        {"no S7 record at the end", kFirmware + "S9030000FC\r\n"},
        {"LF line ends", "S70500000000FA\n"},
        {"shorter than the record", "S705000000\r\n"},
        {"empty", ""},
    };
    for (const auto& r : rows) {
        CFirmwareChoice& image = Extract({{"a.s3", r.firmware}, {"p.db0", "S1"}});
        image.ChooseFirmware(3);
        EXPECT_EQ(image.m_strFirmware, CString()) << r.why;
        EXPECT_EQ(Extracted("a.s3"), r.firmware) << r.why;
    }
    EXPECT_TRUE(m_messages.empty()) << "the sequencer reports a missing firmware itself";

    CFirmwareChoice& image = Extract({{"a.s3", kFirmware}, {"p.db0", "S1"}});
    fs::remove(fs::path(m_dir.str()) / "p.db0");
    image.ChooseFirmware(3);
    EXPECT_EQ(image.m_strFirmware, CString()) << "database gone";
    EXPECT_EQ(Extracted("a.s3"), kFirmware);
    EXPECT_FALSE(image.MergeDatabase(m_dir + "missing.s3", m_dir + "a.s3"));
}

#ifndef _WIN32
// The merged image read back by srecord's own tools: every record valid, both ranges present.
TEST_F(FirmwareChoiceTest, MergedImageReadsBackWithSrecord)
{
    const fs::path work = m_root;
    const std::string fw = (work / "fw.s3").string(), db = (work / "db.s3").string();
    const std::string gen = "srec_cat -generate 0 0x1000 -repeat-string FIRMWARE -execution-start-address 0 -o " + fw +
                            " -Motorola -address-length=4 -line-termination=crlf";
    const std::string gendb = "srec_cat -generate 0x70000 0x70A00 -repeat-string POS -o " + db +
                              " -Motorola -address-length=4 -line-termination=crlf -disable=header "
                              "-disable=data-count -disable=exec-start-address -disable=footer";
    ASSERT_EQ(std::system(gen.c_str()), 0);
    ASSERT_EQ(std::system(gendb.c_str()), 0);

    CFirmwareChoice& image = Extract({{"gsp3.s3", ReadText(fw)}, {"pos.db0", ReadText(db)}});
    image.ChooseFirmware(3);
    ASSERT_EQ(image.m_strFirmware, CString("gsp3.s3"));

    const std::string merged = m_dir.str() + "gsp3.s3";
    const std::string info = (work / "info.txt").string();
    ASSERT_EQ(std::system(("srec_info " + merged + " > " + info + " 2>&1").c_str()), 0);
    const std::string text = ReadText(info);
    EXPECT_NE(text.find("000000 - 000FFF"), std::string::npos) << text;
    EXPECT_NE(text.find("070000 - 0709FF"), std::string::npos) << text;
    EXPECT_NE(text.find("Execution Start Address: 00000000"), std::string::npos) << text;

    // Byte for byte, the data is the firmware's and the database's.
    const std::string bin = (work / "merged.bin").string(), want = (work / "want.bin").string();
    ASSERT_EQ(std::system(("srec_cat " + merged + " -o " + bin + " -Binary").c_str()), 0);
    ASSERT_EQ(std::system(("srec_cat " + fw + " " + db + " -o " + want + " -Binary 2>/dev/null").c_str()), 0);
    EXPECT_TRUE(ReadText(bin) == ReadText(want));
}
#endif
