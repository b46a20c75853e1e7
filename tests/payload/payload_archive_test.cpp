// The payload reader and extractor against payloads written byte by byte.
#include "payload/payload_archive.h"
#include "tests/payload/payload_builder.h"
#include "tests/support/scratch_dir.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace test_support;

namespace {

struct Event {
    int kind;
    std::string name;  // begin and done
    int percent;       // progress
};

void Collect(int nEvent, void* pData, void* pUser)
{
    auto* events = static_cast<std::vector<Event>*>(pUser);
    if (nEvent == SFX_EV_PROGRESS)
        events->push_back({nEvent, "", *static_cast<int*>(pData)});
    else
        events->push_back({nEvent, static_cast<PayloadEntry*>(pData)->strName.GetString(), -1});
}

Bytes ReadBack(const std::string& path)
{
    Bytes b;
    EXPECT_TRUE(ReadFile(path, b)) << path;
    return b;
}

// Six entries shaped like a shipped release: name lengths 12, 15, 12, 12, 19 and 18.
struct ShippedLike {
    std::vector<std::string> names{"fw_gsp3.s3x0", "SiRFflashcl.exe",     "chiplist.txt",
                                   "language.ini", "tavo_logo_demo2.bmp", "Actualizacion 1.40"};
    std::vector<Bytes> data{ToBytes(std::string(5000, 'S') + "S70500000000FA\r\n"),
                            NoisyData(9000, 7),
                            ToBytes("GSP3 1048576 65536\n"),
                            ToBytes("[es]\nok=Aceptar\n"),
                            NoisyData(3000, 9),
                            Bytes()};
    PayloadBuilder builder;
    Bytes file;
    ShippedLike()
    {
        for (size_t i = 0; i < names.size(); ++i)
            builder.AddEntry(names[i], data[i]);
        file = builder.Build();
    }
};

TEST(PayloadDirectory, ReadsEveryFieldOfAShippedLikePayload)
{
    ScratchDir tmp;
    ShippedLike p;
    ASSERT_TRUE(WriteFile(tmp.File("Mirador.exe"), p.file));
    CPayloadArchive archive(tmp.File("Mirador.exe").c_str());
    ASSERT_EQ(SFX_OK, archive.ReadDirectory(archive.GetModulePath()));
    ASSERT_EQ(6, archive.GetCount());
    for (int i = 0; i < 6; ++i) {
        PayloadEntry e = archive.GetEntry(i);
        const Record& r = p.builder.Records()[size_t(i)];
        EXPECT_EQ(p.names[size_t(i)], e.strName.GetString());
        EXPECT_TRUE(e.strReserved.IsEmpty());
        EXPECT_EQ(r.offset, e.nOffset);
        EXPECT_EQ(r.compressed, e.nCompressedSize);
        EXPECT_EQ(int(p.data[size_t(i)].size()), e.nUncompressedSize);
    }
    // The directory is 18 + sum(16 + L) = 202 bytes, right after the last stream.
    EXPECT_EQ(p.file.size() - 202, size_t(p.builder.Records()[5].offset + p.builder.Records()[5].compressed));
    // Out-of-range indexes give a cleared entry instead of reading outside the table.
    EXPECT_TRUE(archive.GetEntry(6).strName.IsEmpty());
    EXPECT_TRUE(archive.GetEntry(-1).strName.IsEmpty());
    EXPECT_EQ(0, archive.GetEntry(300).nOffset);
}

TEST(PayloadDirectory, NameWithZeroByteIsCutButTheReaderAdvancesByTheFullLength)
{
    ScratchDir tmp;
    PayloadBuilder b;
    b.AddEntry(std::string("abc\0zzz", 7), ToBytes("one"));
    b.AddEntry("third", ToBytes("three"));
    b.AddEntry("", Bytes());  // a label may be empty text
    ASSERT_TRUE(WriteFile(tmp.File("p"), b.Build()));
    CPayloadArchive archive(tmp.File("p").c_str());
    ASSERT_EQ(SFX_OK, archive.ReadDirectory(tmp.File("p").c_str()));
    EXPECT_EQ(std::string("abc"), archive.GetEntry(0).strName.GetString());
    EXPECT_EQ(std::string("third"), archive.GetEntry(1).strName.GetString());
    EXPECT_EQ(std::string(""), archive.GetEntry(2).strName.GetString());
    EXPECT_EQ(b.Records()[1].offset, archive.GetEntry(1).nOffset);
}

TEST(PayloadDirectory, AcceptsTheLimitsOfTheFormat)
{
    ScratchDir tmp;
    PayloadBuilder b;
    for (int i = 0; i < 255; ++i)
        b.AddEntry("e" + std::to_string(i), ToBytes(std::to_string(i)));
    b.AddEntry(std::string(1000, 'n'), ToBytes("long name"));
    ASSERT_TRUE(WriteFile(tmp.File("p"), b.Build()));
    CPayloadArchive archive(tmp.File("p").c_str());
    ASSERT_EQ(SFX_OK, archive.ReadDirectory(tmp.File("p").c_str()));
    EXPECT_EQ(256, archive.GetCount());
    EXPECT_EQ(1000, archive.GetEntry(255).strName.GetLength());
    EXPECT_EQ(std::string("e254"), archive.GetEntry(254).strName.GetString());
}

// One damaged directory per row, and the result the reader must give. Each is read after a good
// read of another file, so that a partial table of the earlier read would show.
struct BadDirectory {
    const char* what;
    int expected;
    Bytes (*make)();
};

Bytes Good(PayloadBuilder& b)
{
    b.AddEntry("fw.s", ToBytes("S0030000FC\r\n"));
    b.AddEntry("label", Bytes());
    return b.Build();
}

// One row a line, as the table is read.
// clang-format off
const BadDirectory kBadDirectories[] = {
    {"no marker", SFX_ERR_FORMAT, [] { return ToBytes("MZ just a program without any payload at all"); }},
    {"shorter than the marker", SFX_ERR_FORMAT, [] { return ToBytes("!TAVO"); }},
    {"empty file", SFX_ERR_FORMAT, [] { return Bytes(); }},
    {"marker only", SFX_ERR_FORMAT, [] { return ToBytes("!TAVO_SFX!"); }},
    {"marker and version, no count", SFX_ERR_FORMAT, [] { return ToBytes("0.90!TAVO_SFX!"); }},
    {"newer version", SFX_ERR_FORMAT, [] { PayloadBuilder b; b.AddEntry("a", ToBytes("a")); return b.Build(kRealLength, "0.91"); }},
    {"older version", SFX_ERR_FORMAT, [] { PayloadBuilder b; b.AddEntry("a", ToBytes("a")); return b.Build(kRealLength, "0.89"); }},
    {"marker case", SFX_ERR_FORMAT, [] { PayloadBuilder b; b.AddEntry("a", ToBytes("a")); return b.Build(kRealLength, "0.90", "!tavo_sfx!"); }},
    {"count 0", SFX_ERR_EMPTY, [] { PayloadBuilder b; return b.Build(0); }},
    {"negative count", SFX_ERR_FORMAT, [] { PayloadBuilder b; b.AddEntry("a", ToBytes("a")); return b.Build(-5); }},
    {"count 257", SFX_ERR_FORMAT, [] { PayloadBuilder b; b.AddEntry("a", ToBytes("a")); return b.Build(257); }},
    {"count beyond the records", SFX_ERR_FORMAT, [] { PayloadBuilder b; b.AddEntry("a", ToBytes("a")); return b.Build(200); }},
    {"negative name length", SFX_ERR_FORMAT,
     [] { PayloadBuilder b; Bytes f = Good(b); b.Records()[1].nameLength = -1; return b.Build(); }},
    {"name length 1001", SFX_ERR_FORMAT,
     [] { PayloadBuilder b; Good(b); b.Records()[1].name = std::string(1001, 'x'); return b.Build(); }},
    {"name length past the start of the file", SFX_ERR_FORMAT,
     [] { PayloadBuilder b; Good(b); b.Records()[0].nameLength = 900; return b.Build(); }},
    {"offset at the end of the file", SFX_ERR_FORMAT,
     [] { PayloadBuilder b; Bytes f = Good(b); b.Records()[1].offset = int32_t(f.size()); return b.Build(); }},
    {"offset past the end of the file", SFX_ERR_FORMAT,
     [] { PayloadBuilder b; Good(b); b.Records()[0].offset = 0x7FFFFFFF; return b.Build(); }},
    {"negative offset", SFX_ERR_FORMAT, [] { PayloadBuilder b; Good(b); b.Records()[0].offset = -4; return b.Build(); }},
    {"name with a slash", SFX_ERR_FORMAT, [] { PayloadBuilder b; Good(b); b.Records()[0].name = "../fw.s"; return b.Build(); }},
    {"name with a backslash", SFX_ERR_FORMAT, [] { PayloadBuilder b; Good(b); b.Records()[0].name = "..\\fw.s"; return b.Build(); }},
    {"name with a drive", SFX_ERR_FORMAT, [] { PayloadBuilder b; Good(b); b.Records()[0].name = "C:fw.s"; return b.Build(); }},
    {"name dot", SFX_ERR_FORMAT, [] { PayloadBuilder b; Good(b); b.Records()[0].name = "."; return b.Build(); }},
    {"name dot dot", SFX_ERR_FORMAT, [] { PayloadBuilder b; Good(b); b.Records()[0].name = ".."; return b.Build(); }},
    {"unsafe name after a zero byte is harmless", SFX_OK,
     [] { PayloadBuilder b; Good(b); b.Records()[1].name = std::string("ok\0/..", 6); return b.Build(); }},
};
// clang-format on

TEST(PayloadDirectory, RejectsDamagedDirectoriesAndLeavesTheTableEmpty)
{
    ScratchDir tmp;
    PayloadBuilder good;
    ASSERT_TRUE(WriteFile(tmp.File("good"), Good(good)));
    for (const BadDirectory& row : kBadDirectories) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(WriteFile(tmp.File("bad"), row.make()));
        CPayloadArchive archive(tmp.File("bad").c_str());
        ASSERT_EQ(SFX_OK, archive.ReadDirectory(tmp.File("good").c_str()));
        ASSERT_EQ(2, archive.GetCount());
        EXPECT_EQ(row.expected, archive.ReadDirectory(tmp.File("bad").c_str()));
        if (row.expected != SFX_OK) {
            EXPECT_EQ(0, archive.GetCount());
            EXPECT_TRUE(archive.GetEntry(0).strName.IsEmpty());
            // Extraction reads the directory again and writes nothing.
            ScratchDir out;
            EXPECT_EQ(row.expected, archive.ExtractAll(out.Dir().c_str(), nullptr, nullptr));
            EXPECT_TRUE(fs::is_empty(out.Path()));
        }
    }
}

TEST(PayloadDirectory, MissingFileIsAnOpenError)
{
    ScratchDir tmp;
    CPayloadArchive archive(tmp.File("missing.exe").c_str());
    EXPECT_EQ(SFX_ERR_OPEN, archive.ReadDirectory(archive.GetModulePath()));
    EXPECT_EQ(SFX_ERR_OPEN, archive.ExtractAll(tmp.Dir().c_str(), nullptr, nullptr));
    EXPECT_EQ(SFX_ERR_OPEN, archive.ExtractEntry(0, tmp.Dir().c_str()));
    EXPECT_EQ(SFX_ERR_OPEN, archive.ReadDirectory(tmp.Dir().c_str()));  // a directory is not a payload
}

TEST(PayloadDirectory, DependsOnlyOnTheBytesAtTheEnd)
{
    ScratchDir tmp;
    ShippedLike p;
    ASSERT_TRUE(WriteFile(tmp.File("a.exe"), p.file));
    ASSERT_TRUE(WriteFile(tmp.File("other name.bin"), p.file));
    CPayloadArchive archive(tmp.File("a.exe").c_str());
    ASSERT_EQ(SFX_OK, archive.ReadDirectory(tmp.File("other name.bin").c_str()));
    EXPECT_EQ(6, archive.GetCount());
    EXPECT_EQ(SFX_OK, archive.ReadDirectory(tmp.File("a.exe").c_str()));
}

TEST(PayloadExtract, WritesEveryEntryWhole)
{
    ScratchDir tmp, out;
    ShippedLike p;
    ASSERT_TRUE(WriteFile(tmp.File("Mirador.exe"), p.file));
    ASSERT_TRUE(WriteFile(out.File("chiplist.txt"), ToBytes(std::string(100000, 'x'))));  // truncated
    ASSERT_TRUE(WriteFile(out.File("unrelated.txt"), ToBytes("keep me")));
    // A file that happens to bear the label's name is not the label's: never written nor deleted.
    ASSERT_TRUE(WriteFile(out.File("Actualizacion 1.40"), ToBytes("the user's own")));
    CPayloadArchive archive(tmp.File("Mirador.exe").c_str());
    // Without the trailing separator: one is added.
    std::string dir = out.Path().string();
    ASSERT_EQ(SFX_OK, archive.ExtractAll(dir.c_str(), nullptr, nullptr));
    for (size_t i = 0; i + 1 < p.names.size(); ++i)
        EXPECT_EQ(p.data[i], ReadBack(out.File(p.names[i]))) << p.names[i];
    EXPECT_EQ(ToBytes("the user's own"), ReadBack(out.File("Actualizacion 1.40")));

    archive.DeleteExtracted(out.Dir().c_str());
    for (size_t i = 0; i + 1 < p.names.size(); ++i)
        EXPECT_FALSE(fs::exists(out.File(p.names[i]))) << p.names[i];
    EXPECT_TRUE(fs::exists(out.File("unrelated.txt")));
    EXPECT_EQ(ToBytes("the user's own"), ReadBack(out.File("Actualizacion 1.40")));
    archive.DeleteExtracted(out.Dir().c_str());  // again: silent
}

TEST(PayloadExtract, StreamsOutOfIndexOrderAndSurplusBytesBetweenThem)
{
    ScratchDir tmp, out;
    PayloadBuilder b;
    Bytes second = NoisyData(20000, 3), first = ToBytes("first entry");
    b.AppendRaw(ToBytes("junk before"));
    int32_t at2 = b.AppendRaw(Deflate(second));
    b.AppendRaw(NoisyData(777, 5));
    int32_t at1 = b.AppendRaw(Deflate(first));
    b.AddRecord({"one", kRealLength, at1, int32_t(first.size()), 3});  // a wrong size changes only percentages
    b.AddRecord({"two", kRealLength, at2, int32_t(second.size()), 0});
    ASSERT_TRUE(WriteFile(tmp.File("p"), b.Build()));
    CPayloadArchive archive(tmp.File("p").c_str());
    std::vector<Event> events;
    ASSERT_EQ(SFX_OK, archive.ExtractAll(out.Dir().c_str(), Collect, &events));
    EXPECT_EQ(first, ReadBack(out.File("one")));
    EXPECT_EQ(second, ReadBack(out.File("two")));
    for (const Event& e : events) {
        if (e.kind == SFX_EV_PROGRESS) {
            EXPECT_TRUE(e.percent >= 0 && e.percent <= 100) << e.percent;
        }
    }
}

TEST(PayloadExtract, CallbackSeesBeginProgressDoneFromTheLastEntryToTheFirst)
{
    ScratchDir tmp, out;
    PayloadBuilder b;
    b.AddEntry("big", NoisyData(40000, 11));
    b.AddEntry("small", ToBytes("tiny"));
    b.AddEntry("empty", Bytes());
    ASSERT_TRUE(WriteFile(tmp.File("p"), b.Build()));
    CPayloadArchive archive(tmp.File("p").c_str());
    std::vector<Event> events;
    ASSERT_EQ(SFX_OK, archive.ExtractAll(out.Dir().c_str(), Collect, &events));

    // Begin and done bracket each entry, last index first; progress only inside.
    std::vector<std::string> order;
    std::string open;
    int last = -1, progressOfBig = 0;
    for (const Event& e : events) {
        if (e.kind == SFX_EV_BEGIN) {
            ASSERT_TRUE(open.empty());
            open = e.name;
            order.push_back(e.name);
            last = -1;
        } else if (e.kind == SFX_EV_PROGRESS) {
            ASSERT_FALSE(open.empty());
            EXPECT_GE(e.percent, last);
            EXPECT_LE(e.percent, 100);
            last = e.percent;
            if (open == "big")
                ++progressOfBig;
            EXPECT_NE("empty", open);  // 8 bytes of stream: begin and done only
        } else {
            ASSERT_EQ(SFX_EV_DONE, e.kind);
            EXPECT_EQ(open, e.name);
            open.clear();
        }
    }
    EXPECT_TRUE(open.empty());
    EXPECT_EQ((std::vector<std::string>{"empty", "small", "big"}), order);
    EXPECT_GE(progressOfBig, 9);  // 40000 noisy bytes: about ten input blocks
}

TEST(PayloadExtract, PercentagesOfAnEntryWithoutSizeAreAlwaysAHundred)
{
    ScratchDir tmp, out;
    PayloadBuilder b;
    b.AddEntry("big", NoisyData(30000, 1)).compressed = 0;
    ASSERT_TRUE(WriteFile(tmp.File("p"), b.Build()));
    CPayloadArchive archive(tmp.File("p").c_str());
    std::vector<Event> events;
    ASSERT_EQ(SFX_OK, archive.ExtractAll(out.Dir().c_str(), Collect, &events));
    int n = 0;
    for (const Event& e : events) {
        if (e.kind == SFX_EV_PROGRESS) {
            EXPECT_EQ(100, e.percent);
            ++n;
        }
    }
    EXPECT_GT(n, 0);
}

// A stream that does not reach its end must never pass for a good entry.
struct BadStream {
    const char* what;
    Bytes (*make)(const Bytes& good);
};

Bytes DeflateWithDictionary(const Bytes& data)
{
    z_stream s{};
    deflateInit(&s, Z_DEFAULT_COMPRESSION);
    const unsigned char dict[] = "a preset dictionary";
    deflateSetDictionary(&s, dict, sizeof dict);
    Bytes out(compressBound(uLong(data.size())) + 64);
    s.next_in = const_cast<unsigned char*>(data.data());
    s.avail_in = uInt(data.size());
    s.next_out = out.data();
    s.avail_out = uInt(out.size());
    deflate(&s, Z_FINISH);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

// clang-format off
const BadStream kBadStreams[] = {
    {"flipped byte in the middle", [](const Bytes& z) { Bytes b = z; b[b.size() / 2] ^= 0x55; return b; }},
    {"wrong checksum", [](const Bytes& z) { Bytes b = z; b[b.size() - 1] ^= 1; return b; }},
    {"cut in half", [](const Bytes& z) { return Bytes(z.begin(), z.begin() + long(z.size() / 2)); }},
    {"header only", [](const Bytes&) { return Bytes{0x78, 0x9C}; }},
    {"not zlib at all", [](const Bytes&) { return ToBytes("PK\x03\x04 this is no zlib stream"); }},
    {"preset dictionary", [](const Bytes&) { return DeflateWithDictionary(NoisyData(5000, 2)); }},
};
// clang-format on

TEST(PayloadExtract, DamagedStreamsFailAndLeaveNoFileWhileTheOthersAreExtracted)
{
    for (const BadStream& row : kBadStreams) {
        SCOPED_TRACE(row.what);
        ScratchDir tmp, out;
        PayloadBuilder b;
        Bytes goodData = NoisyData(12000, 4);
        b.AddEntry("before", ToBytes("good one"));
        Bytes bad = row.make(Deflate(NoisyData(12000, 5)));
        // The damaged stream is followed only by the directory and nothing else.
        int32_t at = b.AppendRaw(bad);
        b.AddRecord({"damaged", kRealLength, at, 12000, int32_t(bad.size())});
        ASSERT_TRUE(WriteFile(tmp.File("p"), b.Build()));
        CPayloadArchive archive(tmp.File("p").c_str());
        std::vector<Event> events;
        EXPECT_EQ(SFX_ERR_EXTRACT, archive.ExtractAll(out.Dir().c_str(), Collect, &events));
        EXPECT_FALSE(fs::exists(out.File("damaged")));
        EXPECT_EQ(ToBytes("good one"), ReadBack(out.File("before")));
        int begins = 0, dones = 0;
        for (const Event& e : events) {
            begins += e.kind == SFX_EV_BEGIN;
            dones += e.kind == SFX_EV_DONE;
            if (e.kind == SFX_EV_DONE) {
                EXPECT_EQ("before", e.name);
            }
        }
        EXPECT_EQ(2, begins);
        EXPECT_EQ(1, dones);
        EXPECT_EQ(SFX_ERR_EXTRACT, archive.ExtractEntry(1, out.Dir().c_str()));
        EXPECT_FALSE(fs::exists(out.File("damaged")));
    }
}

TEST(PayloadExtract, StreamCutByTheEndOfTheFile)
{
    // A payload whose last stream is cut short: without the directory at the end, the reader
    // refuses it; with a directory pasted after a cut stream, the stream runs into the directory.
    ScratchDir tmp, out;
    PayloadBuilder b;
    Bytes z = Deflate(NoisyData(9000, 8));
    int32_t at = b.AppendRaw(Bytes(z.begin(), z.begin() + 3000));
    b.AddRecord({"cut", kRealLength, at, 9000, int32_t(z.size())});
    ASSERT_TRUE(WriteFile(tmp.File("p"), b.Build()));
    CPayloadArchive archive(tmp.File("p").c_str());
    EXPECT_EQ(SFX_ERR_EXTRACT, archive.ExtractAll(out.Dir().c_str(), nullptr, nullptr));
    EXPECT_FALSE(fs::exists(out.File("cut")));
}

TEST(PayloadExtract, MissingDirectoryFailsEveryEntryWithoutDoneEvents)
{
    ScratchDir tmp;
    ShippedLike p;
    ASSERT_TRUE(WriteFile(tmp.File("p"), p.file));
    CPayloadArchive archive(tmp.File("p").c_str());
    std::vector<Event> events;
    std::string missing = tmp.File("no-such-dir");
    EXPECT_EQ(SFX_ERR_EXTRACT, archive.ExtractAll(missing.c_str(), Collect, &events));
    // The label, written nowhere, is done; every other entry fails.
    ASSERT_EQ(7u, events.size());
    EXPECT_EQ(SFX_EV_BEGIN, events[0].kind);
    EXPECT_EQ(SFX_EV_DONE, events[1].kind);
    EXPECT_EQ("Actualizacion 1.40", events[1].name);
    for (size_t i = 2; i < events.size(); ++i)
        EXPECT_EQ(SFX_EV_BEGIN, events[i].kind);
}

TEST(PayloadExtract, ExtractEntryChecksTheIndexAndUsesTheStoredCallback)
{
    ScratchDir tmp, out;
    PayloadBuilder b;
    b.AddEntry("big", NoisyData(30000, 6));
    b.AddEntry("logo.bmp", ToBytes("BM fake"));
    b.AddEntry("label", Bytes());
    ASSERT_TRUE(WriteFile(tmp.File("p"), b.Build()));

    CPayloadArchive archive(tmp.File("p").c_str());
    for (int bad : {-1, 3, 256, -100000}) {
        EXPECT_NE(SFX_OK, archive.ExtractEntry(bad, out.Dir().c_str())) << bad;
        EXPECT_TRUE(fs::is_empty(out.Path())) << bad;
    }
    // Before any ExtractAll there is no callback to report to.
    ASSERT_EQ(SFX_OK, archive.ExtractEntry(0, out.Dir().c_str()));
    EXPECT_EQ(NoisyData(30000, 6), ReadBack(out.File("big")));

    std::vector<Event> events;
    ASSERT_EQ(SFX_OK, archive.ExtractAll(out.Dir().c_str(), Collect, &events));
    events.clear();
    ASSERT_EQ(SFX_OK, archive.ExtractEntry(0, out.Dir().c_str()));
    ASSERT_FALSE(events.empty());
    for (const Event& e : events)
        EXPECT_EQ(SFX_EV_PROGRESS, e.kind);
    ASSERT_EQ(SFX_OK, archive.ExtractEntry(1, out.Dir().c_str()));
    EXPECT_EQ(ToBytes("BM fake"), ReadBack(out.File("logo.bmp")));
}

TEST(PayloadExtract, EntryWithEmptyNameCannotBeWrittenOverTheDirectory)
{
    ScratchDir tmp, out;
    PayloadBuilder b;
    b.AddEntry("", ToBytes("no name"));
    b.AddEntry("named", ToBytes("named"));
    ASSERT_TRUE(WriteFile(tmp.File("p"), b.Build()));
    CPayloadArchive archive(tmp.File("p").c_str());
    // An empty name is no file name: the directory is refused before anything is written.
    EXPECT_EQ(SFX_ERR_FORMAT, archive.ExtractAll(out.Dir().c_str(), nullptr, nullptr));
    EXPECT_TRUE(fs::is_directory(out.Path()));
    EXPECT_TRUE(fs::is_empty(out.Path()));
}

#ifndef _WIN32
TEST(PayloadExtract, FullDiskFailsTheEntryInsteadOfEscapingAsAnException)
{
    ScratchDir tmp, out;
    PayloadBuilder b;
    b.AddEntry("fw.s3", NoisyData(20000, 12));
    b.AddEntry("ok.txt", ToBytes("fits"));
    ASSERT_TRUE(WriteFile(tmp.File("p"), b.Build()));
    // No file may grow past 10000 bytes while extracting: writing the first entry fails halfway.
    rlimit before;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &before));
    rlimit small = before;
    small.rlim_cur = 10000;
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    CPayloadArchive archive(tmp.File("p").c_str());
    const int result = archive.ExtractAll(out.Dir().c_str(), nullptr, nullptr);
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(SFX_ERR_EXTRACT, result);
    EXPECT_EQ(CFileException::diskFull, archive.GetFailureCause());
    EXPECT_EQ(ToBytes("fits"), ReadBack(out.File("ok.txt")));
    EXPECT_EQ(1, std::distance(fs::directory_iterator(out.Path()), fs::directory_iterator()));  // nothing half-written
}
#endif

TEST(PayloadExtract, RunningProgramHasNoPayload)
{
    CPayloadArchive archive;
    EXPECT_FALSE(archive.GetModulePath().IsEmpty());
    EXPECT_TRUE(fs::exists(archive.GetModulePath().GetString()));
    EXPECT_EQ(SFX_ERR_FORMAT, archive.ReadDirectory(archive.GetModulePath()));
    archive.DeleteExtracted(CString("nowhere") + AFX_PATH_SEPARATOR);  // empty table: nothing happens
}

}  // namespace

// Entry names against Windows' rules for an ordinary file of the temporary directory: the
// reader refuses the whole directory for a name Windows would not store as such a file, while
// the label, which is never written, may hold any text.
TEST(PayloadNames, WindowsFileNameRulesForEntriesButNotForTheLabel)
{
    const struct {
        std::string name;
        bool file;  // acceptable as an extracted entry's name
    } rows[] = {
        // Device names, their look-alikes, then characters, in rows.
        // clang-format off
        {"fw_gsp3.s3", true},
        {"Firmware GSP3 1.40.S", true},
        {"con", false},           {"CON", false},         {"Prn", false},        {"aux", false},
        {"NUL", false},           {"nul.s3", false},      {"NUL.tar.gz", false}, {"nul .s3", false},
        {"COM0", false},          {"COM3", false},        {"com9.bmp", false},   {"LPT1", false},
        {"lpt0.txt", false},      {"COM\xB9", false},    {"CONIN$", false},     {"conout$.log", false},
        {"COM10", true},          {"LPT", true},          {"CONSOLE", true},     {"nul_file", true},
        {"xcon", true},           {"CON$", true},         {"COMA", true},        {"nul-.s3", true},
        {"one.s.", false},        {"one.s ", false},      {".", false},          {"..", false},
        {".hidden", true},        {"a b", true},
        {"tab\tname", false},     {"bell\x07", false},    {"\x1F", false},       {"del\x7F", true},
        {"a<b", false},           {"a>b", false},         {"a:b", false},        {"a\"b", false},
        {"a/b", false},           {"a\\b", false},        {"a|b", false},        {"a?b", false},
        {"a*b", false},           {"Versi\xF3n", true},   {"", false},
        {"SIRFFL~1.EXE", false},  {"fw~2", false},        {"a~b", true},         {"v1.0~2", true},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("name \"" + row.name + "\"");
        ScratchDir tmp, out;
        PayloadBuilder b;
        b.AddEntry(row.name, ToBytes("data"));
        b.AddEntry("label", Bytes());
        ASSERT_TRUE(WriteFile(tmp.File("p"), b.Build()));
        CPayloadArchive archive(tmp.File("p").c_str());
        EXPECT_EQ(row.file ? SFX_OK : SFX_ERR_FORMAT, archive.ReadDirectory(archive.GetModulePath()));
        EXPECT_EQ(row.file ? 2 : 0, archive.GetCount());
        if (row.file) {
            EXPECT_EQ(SFX_OK, archive.ExtractAll(out.Dir().c_str(), nullptr, nullptr));
            EXPECT_EQ(ToBytes("data"), ReadBack(out.Dir() + row.name));
        } else {
            EXPECT_EQ(SFX_ERR_FORMAT, archive.ExtractAll(out.Dir().c_str(), nullptr, nullptr));
            EXPECT_TRUE(fs::is_empty(out.Path()));
        }

        // The same text as the label: shown as it is, nothing written.
        fs::remove_all(out.Path());
        fs::create_directories(out.Path());
        PayloadBuilder l;
        l.AddEntry("fw.s", ToBytes("data"));
        l.AddEntry(row.name, Bytes());
        ASSERT_TRUE(WriteFile(tmp.File("l"), l.Build()));
        CPayloadArchive labelled(tmp.File("l").c_str());
        ASSERT_EQ(SFX_OK, labelled.ExtractAll(out.Dir().c_str(), nullptr, nullptr));
        EXPECT_EQ(row.name, labelled.GetEntry(1).strName.GetString());
        EXPECT_TRUE(labelled.IsLabel(1));
        EXPECT_EQ(1, std::distance(fs::directory_iterator(out.Path()), fs::directory_iterator()));
        labelled.DeleteExtracted(out.Dir().c_str());
        EXPECT_TRUE(fs::is_empty(out.Path()));
    }
}

// Two entries that Windows takes for one file: the later extraction would replace the earlier
// entry's data without a word, so the directory is refused.
TEST(PayloadNames, EntriesThatWindowsTakesForOneFileAreRefused)
{
    const struct {
        const char* first;
        const char* second;
        bool same;
    } rows[] = {
        // The same file in the first row, different files in the second.
        // clang-format off
        {"one.s", "ONE.S", true},    {"Logo.BMP", "logo.bmp", true}, {"versi\xF3n", "VERSI\xD3N", true},
        {"one.s", "one.s3", false},  {"a", "b", false},              {"one.s", "one.s_", false},
        {"SiRFflashcl.exe", "SIRFFL~1.EXE", true},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.first) + " / " + row.second);
        ScratchDir tmp, out;
        PayloadBuilder b;
        b.AddEntry(row.first, ToBytes("real firmware"));
        b.AddEntry(row.second, ToBytes("4 b."));
        b.AddEntry("label", Bytes());
        ASSERT_TRUE(WriteFile(tmp.File("p"), b.Build()));
        CPayloadArchive archive(tmp.File("p").c_str());
        EXPECT_EQ(row.same ? SFX_ERR_FORMAT : SFX_OK, archive.ExtractAll(out.Dir().c_str(), nullptr, nullptr));
        EXPECT_EQ(row.same, fs::is_empty(out.Path()));
    }
    // The label may repeat an entry's name: it is never written.
    ScratchDir tmp, out;
    PayloadBuilder b;
    b.AddEntry("Firmware", ToBytes("real firmware"));
    b.AddEntry("FIRMWARE", Bytes());
    ASSERT_TRUE(WriteFile(tmp.File("p"), b.Build()));
    CPayloadArchive archive(tmp.File("p").c_str());
    ASSERT_EQ(SFX_OK, archive.ExtractAll(out.Dir().c_str(), nullptr, nullptr));
    EXPECT_EQ(ToBytes("real firmware"), ReadBack(out.File("Firmware")));
}

// An entry must inflate to exactly its declared size: more or less is damage, and output past
// the declared size is never written.
TEST(PayloadExtract, EntryMustInflateToExactlyItsDeclaredSize)
{
    const Bytes data = NoisyData(50000, 11);
    const struct {
        const char* what;
        int32_t declared;
        int expected;
    } rows[] = {
        {"exact", 50000, SFX_OK},
        {"one byte more in the stream", 49999, SFX_ERR_EXTRACT},
        {"one byte less in the stream", 50001, SFX_ERR_EXTRACT},
        {"a block short", 50000 - 4096, SFX_ERR_EXTRACT},
        {"nothing declared", 0, SFX_ERR_EXTRACT},
        {"negative", -1, SFX_ERR_EXTRACT},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ScratchDir tmp, out;
        PayloadBuilder b;
        b.AddEntry("fw.s3", data).uncompressed = row.declared;
        b.AddEntry("label", Bytes());
        ASSERT_TRUE(WriteFile(tmp.File("p"), b.Build()));
        CPayloadArchive archive(tmp.File("p").c_str());
        EXPECT_EQ(row.expected, archive.ExtractAll(out.Dir().c_str(), nullptr, nullptr));
        EXPECT_EQ(row.expected == SFX_OK, fs::exists(out.File("fw.s3")));
        EXPECT_EQ(row.expected, archive.ExtractEntry(0, out.Dir().c_str()));
    }
}

// A small stream that inflates far past its declared size (a "zip bomb") stops at the first
// block beyond it instead of filling the disk first.
TEST(PayloadExtract, OversizedStreamStopsWritingAtTheDeclaredSize)
{
    ScratchDir tmp, out;
    PayloadBuilder b;
    b.AddEntry("fw.s3", Bytes(64u << 20, 0)).uncompressed = 4096;
    b.AddEntry("label", Bytes());
    ASSERT_TRUE(WriteFile(tmp.File("p"), b.Build()));
    ASSERT_LT(fs::file_size(tmp.File("p")), 200000u);

    // The callback sees how much input went in before the entry was given up.
    struct Watch {
        int progressEvents = 0;
    } watch;
    CPayloadArchive archive(tmp.File("p").c_str());
    EXPECT_EQ(SFX_ERR_EXTRACT, archive.ExtractAll(
                                   out.Dir().c_str(),
                                   [](int nEvent, void*, void* pUser) {
                                       static_cast<Watch*>(pUser)->progressEvents += nEvent == SFX_EV_PROGRESS;
                                   },
                                   &watch));
    EXPECT_FALSE(fs::exists(out.File("fw.s3")));
    // 64 MiB of zeros deflate to about 64 KiB: giving up within the first input blocks shows
    // that inflation stopped at once.
    EXPECT_LE(watch.progressEvents, 3);
}
