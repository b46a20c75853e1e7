// What the main dialog shows when it opens: ports, speeds, temporary directory, update
// information and logo, checked against stand-ins for the controls and the registry.
#include "app/dialog_startup.h"

#include "app/logo/logo_bitmap.h"
#include "app/resource.h"

#include "tests/app/test_files.h"
#include "tests/support/fake_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

using test_support::Bmp;
using test_support::Bytes;
using test_support::FakeView;
namespace fs = std::filesystem;

namespace {

// The serial-port key: values as (name, data) pairs, copied into the caller's buffers the way
// RegEnumValueA does, including its refusal of a name or data that does not fit.
class FakeKey : public ISerialPortKey {
public:
    static constexpr long kMoreData = 234;  // ERROR_MORE_DATA
    static constexpr long kNoMoreItems = 259;

    OpenResult result = OPENED_EXISTING;
    std::vector<std::pair<std::string, Bytes>> values;
    bool closed = false;

    OpenResult Open() override { return result; }
    long EnumValue(uint32_t nIndex, char* pszName, uint32_t* pcchName, unsigned char* pData, uint32_t* pcbData) override
    {
        if (nIndex >= values.size())
            return kNoMoreItems;
        const auto& v = values[nIndex];
        if (v.first.size() + 1 > *pcchName || v.second.size() > *pcbData)
            return kMoreData;
        std::memcpy(pszName, v.first.c_str(), v.first.size() + 1);
        *pcchName = uint32_t(v.first.size());
        std::memcpy(pData, v.second.data(), v.second.size());
        *pcbData = uint32_t(v.second.size());
        return 0;
    }
    void Close() override { closed = true; }

    void Add(const std::string& name, const std::string& data, bool withNul = true)
    {
        Bytes b(data.begin(), data.end());
        if (withNul)
            b.push_back(0);
        values.push_back({name, b});
    }
};

using Rows = std::vector<std::string>;

TEST(DialogStartupPorts, RowsFollowTheKeyOrderWithALeadingBlankAndTheFirstIsSelected)
{
    FakeView view;
    FakeKey key;
    key.Add("\\Device\\Serial0", "COM1");
    key.Add("\\Device\\Serial11", "COM12");
    key.Add("\\Device\\Serial2", "COM3");
    FillPortList(view, key);
    EXPECT_EQ((Rows{" COM1", " COM12", " COM3"}), view.rows[IDC_PORT_LIST]);
    EXPECT_EQ(0, view.GetListSelection(IDC_PORT_LIST));
    EXPECT_TRUE(key.closed);
}

TEST(DialogStartupPorts, NoKeyOrAnEmptyKeyLeavesAnEmptyUnselectedList)
{
    FakeView failed;
    FakeKey unopenable;
    unopenable.result = ISerialPortKey::OPEN_FAILED;
    unopenable.Add("\\Device\\Serial0", "COM1");
    FillPortList(failed, unopenable);
    EXPECT_TRUE(failed.rows[IDC_PORT_LIST].empty());
    EXPECT_EQ(0, failed.Count("select "));  // nothing to select, nothing to close
    EXPECT_FALSE(unopenable.closed);

    // A key the call had to create is empty, even if values show up later.
    FakeView created;
    FakeKey fresh;
    fresh.result = ISerialPortKey::CREATED_NEW;
    fresh.Add("\\Device\\Serial0", "COM1");
    FillPortList(created, fresh);
    EXPECT_TRUE(created.rows[IDC_PORT_LIST].empty());
    EXPECT_EQ(-1, created.GetListSelection(IDC_PORT_LIST));
    EXPECT_TRUE(fresh.closed);
}

TEST(DialogStartupPorts, OddValuesAreReadWithinTheirBuffer)
{
    FakeView view;
    FakeKey key;
    key.Add("a", std::string(64, 'X'), false);               // fills the buffer, no terminator
    key.Add("b", std::string("CO\0M9", 5));                  // cut at its first NUL
    key.Add("c", "");                                        // empty data
    key.values.push_back({"d", Bytes{'C', 'O', 'M', '4'}});  // no terminator, short
    key.Add(std::string(70, 'n'), "COM7");                   // name too long: left out
    key.Add("f", "COM8");
    FillPortList(view, key);
    EXPECT_EQ((Rows{" " + std::string(64, 'X'), " CO", " ", " COM4", " COM8"}), view.rows[IDC_PORT_LIST]);
    EXPECT_EQ(0, view.GetListSelection(IDC_PORT_LIST));

    // Data too long for the buffer is left out as well; the rows around it stay.
    FakeView view2;
    FakeKey key2;
    key2.Add("a", "COM1");
    key2.Add("b", std::string(64, 'Y'));  // 65 bytes with its terminator
    key2.Add("c", "COM3");
    FillPortList(view2, key2);
    EXPECT_EQ((Rows{" COM1", " COM3"}), view2.rows[IDC_PORT_LIST]);

    // The row builder never looks past the count it is given, nor past 64 bytes.
    const unsigned char data[80] = {'C', 'O', 'M', '5', 'Z', 'Z'};
    EXPECT_EQ(CString(" COM5"), PortRowFromValueData(data, 4));
    unsigned char full[80];
    std::memset(full, 'Q', sizeof full);
    EXPECT_EQ(65, PortRowFromValueData(full, 80).GetLength());
}

TEST(DialogStartupSpeeds, ThreeRatesWithTheFastestSelected)
{
    FakeView view;
    FillSpeedList(view);
    EXPECT_EQ((Rows{" 38400", " 57600", " 115200"}), view.rows[IDC_SPEED_LIST]);
    EXPECT_EQ(2, view.GetListSelection(IDC_SPEED_LIST));
}

TEST(DialogStartupTempDir, PathEndsInASeparatorAndFailuresGiveNone)
{
    const std::string sep(1, AFX_PATH_SEPARATOR);
    char buf[260] = {0};
    std::string with = "C:" + sep + "Temp" + sep;
    std::strcpy(buf, with.c_str());
    EXPECT_EQ(CString(with.c_str()), TempDirFromResult(uint32_t(with.size()), buf, 260));

    std::strcpy(buf, "C:\\Temp");
    EXPECT_EQ(CString(("C:\\Temp" + sep).c_str()), TempDirFromResult(7, buf, 260));

    // A failed call, and a path that did not fit (the result is the size it would need).
    EXPECT_TRUE(TempDirFromResult(0, buf, 260).IsEmpty());
    EXPECT_TRUE(TempDirFromResult(260, buf, 260).IsEmpty());
    EXPECT_TRUE(TempDirFromResult(300, buf, 260).IsEmpty());
}

TEST(DialogStartupTempDir, WorkFolderIsANewOneOfItsOwn)
{
    const test_support::ScratchDir scratch("work-folder");
    const fs::path& tmp = scratch.Path();
    fs::create_directories(tmp / "Mirador-2A-0");  // another updater's, with the same process id
    const std::string dir = tmp.string() + AFX_PATH_SEPARATOR;
    const CString first = MakeWorkFolder(dir.c_str(), 42);
    EXPECT_EQ(dir + "Mirador-2A-1" + AFX_PATH_SEPARATOR, first.GetString());
    EXPECT_TRUE(fs::is_directory(tmp / "Mirador-2A-1"));
    EXPECT_EQ(dir + "Mirador-2A-2" + AFX_PATH_SEPARATOR, MakeWorkFolder(dir.c_str(), 42).GetString());
    EXPECT_TRUE(MakeWorkFolder("", 42).IsEmpty());
#ifndef _WIN32
    // Names 0 to 9 taken, and the path of name 10 one byte past the system's limit: the name that
    // failed comes back, never one of the folders this process did not make.
    for (int n = 3; n < 10; ++n)
        fs::create_directories(tmp / ("Mirador-2A-" + std::to_string(n)));
    std::string padded = dir;
    while (padded.size() + std::strlen("Mirador-2A-9") < PATH_MAX - 1)
        padded += PATH_MAX - 1 - padded.size() - std::strlen("Mirador-2A-9") >= 2 ? "./" : "/";
    const std::string failed = MakeWorkFolder(padded.c_str(), 42).GetString();
    EXPECT_EQ(0u, failed.rfind(padded, 0));
    EXPECT_EQ("Mirador-2A-10/", failed.substr(std::min(padded.size(), failed.size())));
#endif
}

TEST(DialogStartupLogo, CentredAboveTheControlsWithTruncatingHalves)
{
    EXPECT_EQ(CPoint(65, 43), LogoOrigin(CSize(485, 530), CSize(354, 289)));
    EXPECT_EQ(CPoint(40, 22), LogoOrigin(CSize(435, 489), CSize(354, 289)));
    // Larger than the area: negative, each half truncated toward zero.
    EXPECT_EQ(CPoint(50 - 177, -28 - 144), LogoOrigin(CSize(101, 100), CSize(355, 289)));
    EXPECT_EQ(CPoint(-1, -1), LogoOrigin(CSize(0, 155), CSize(3, 3)));
    // Halved separately, not as one difference.
    EXPECT_EQ(CPoint(49, 120), LogoOrigin(CSize(100, 400), CSize(3, 5)));
}

class DialogStartupPayload : public ::testing::Test {
protected:
    // Writes a release with these entries and reads it as the dialog does.
    CLogoBitmap* Open(const std::vector<std::pair<std::string, Bytes>>& entries, const std::string& tempDir)
    {
        const std::string release = m_files.File("release.exe");
        EXPECT_TRUE(test_support::WriteFile(release, test_support::BuildRelease(entries)));
        return OpenFile(release, tempDir);
    }
    CLogoBitmap* OpenFile(const std::string& path, const std::string& tempDir)
    {
        m_archive = std::make_unique<CPayloadArchive>(CString(path.c_str()));
        m_logo.reset(ShowLabelAndLoadLogo(m_view, *m_archive, CString(tempDir.c_str()), m_size, m_origin));
        return m_logo.get();
    }

    test_support::ScratchDir m_files{"release"};
    test_support::ScratchDir m_temp{"temp"};
    FakeView m_view;
    std::unique_ptr<CPayloadArchive> m_archive;
    std::unique_ptr<CLogoBitmap> m_logo;
    CSize m_size{-1, -1};
    CPoint m_origin{-1, -1};
};

TEST_F(DialogStartupPayload, ReleaseShowsItsLabelAndTheLogoInPlaceOfTheProgramName)
{
    Bmp bmp;
    bmp.width = 354;
    bmp.height = 289;
    CLogoBitmap* logo =
        Open({{"fw.s3", Bytes{'S', '0'}}, {"logo.bmp", bmp.Build()}, {"Version 1.40", {}}}, m_temp.Dir());
    ASSERT_NE(nullptr, logo);
    EXPECT_EQ("Version 1.40", m_view.text[IDC_UPDATE_INFO]);
    EXPECT_FALSE(m_view.IsShown(IDC_LOGO_LABEL));
    EXPECT_EQ(CSize(354, 289), m_size);
    EXPECT_EQ(CPoint(65, 43), m_origin);
    // Only the logo was extracted.
    EXPECT_TRUE(test_support::FileExists(m_temp.File("logo.bmp")));
    EXPECT_FALSE(test_support::FileExists(m_temp.File("fw.s3")));
}

TEST_F(DialogStartupPayload, NoUsableLogoKeepsTheProgramNameVisible)
{
    // A program without a payload: empty information, no logo.
    const std::string bare = m_files.File("bare.exe");
    ASSERT_TRUE(test_support::WriteFile(bare, Bytes(5000, 'M')));
    m_view.text[IDC_UPDATE_INFO] = "stale";
    EXPECT_EQ(nullptr, OpenFile(bare, m_temp.Dir()));
    EXPECT_EQ("", m_view.text[IDC_UPDATE_INFO]);
    EXPECT_TRUE(m_view.IsShown(IDC_LOGO_LABEL));

    // The entry before the last is not a bitmap.
    EXPECT_EQ(nullptr, Open({{"notes.txt", Bytes{'h', 'i'}}, {"Label", {}}}, m_temp.Dir()));
    EXPECT_EQ("Label", m_view.text[IDC_UPDATE_INFO]);
    EXPECT_TRUE(m_view.IsShown(IDC_LOGO_LABEL));

    // A damaged bitmap.
    Bytes cut = Bmp().Build();
    cut.pop_back();
    EXPECT_EQ(nullptr, Open({{"logo.bmp", cut}, {"Label 2", {}}}, m_temp.Dir()));
    EXPECT_EQ("Label 2", m_view.text[IDC_UPDATE_INFO]);
    EXPECT_TRUE(m_view.IsShown(IDC_LOGO_LABEL));
    EXPECT_TRUE(m_view.boxes.empty());  // nothing goes wrong loudly while the dialog opens
}

TEST_F(DialogStartupPayload, NothingIsExtractedWithoutALogoEntryOrATemporaryDirectory)
{
    // A single entry is the label only: there is no entry before it to take as the logo.
    EXPECT_EQ(nullptr, Open({{"only.bmp", Bmp().Build()}}, m_temp.Dir()));
    EXPECT_EQ("only.bmp", m_view.text[IDC_UPDATE_INFO]);
    EXPECT_FALSE(test_support::FileExists(m_temp.File("only.bmp")));
    EXPECT_TRUE(m_view.IsShown(IDC_LOGO_LABEL));

    // Without a temporary directory the label still shows, and nothing lands elsewhere.
    EXPECT_EQ(nullptr, Open({{"logo.bmp", Bmp().Build()}, {"Label", {}}}, ""));
    EXPECT_EQ("Label", m_view.text[IDC_UPDATE_INFO]);
    EXPECT_FALSE(test_support::FileExists("logo.bmp"));
    EXPECT_TRUE(m_view.IsShown(IDC_LOGO_LABEL));
}

}  // namespace
