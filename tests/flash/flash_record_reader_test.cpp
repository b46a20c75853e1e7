// Reading the utility's records from bytes: whole records, short and long payloads, and every
// way the data can end or fail.
#include "afx/little_endian.h"
#include "flash/flash_record_reader.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

std::string Header(int32_t nLength, int32_t nCode, int32_t nLine = 0)
{
    std::string s;
    for (int32_t v : {nLength, nLine, nCode})
        AppendLE32(s, uint32_t(v));
    return s;
}

struct Seen {
    int32_t nCode;
    std::string strText;
    bool operator==(const Seen& o) const { return nCode == o.nCode && strText == o.strText; }
};

std::ostream& operator<<(std::ostream& os, const Seen& s)
{
    return os << "{" << s.nCode << ", \"" << s.strText << "\"}";
}

// Reads every record of the stream, delivered nChunk bytes at a time (0: whole reads).
std::vector<Seen> ReadAll(const std::string& stream, unsigned nChunk, FlashReadResult& end)
{
    CMemoryByteSource source(stream.data(), stream.size(), nChunk);
    CFlashRecordReader reader(source);
    std::vector<Seen> seen;
    while ((end = reader.Next()) == FRR_RECORD)
        seen.push_back({reader.GetCode(), reader.GetText()});
    return seen;
}

// Delivers its bytes, then reports a failure.
class FailingSource : public CMemoryByteSource {
public:
    using CMemoryByteSource::CMemoryByteSource;
    int ReadSome(void* p, unsigned n) override
    {
        int k = CMemoryByteSource::ReadSome(p, n);
        return k > 0 ? k : -1;
    }
};

}  // namespace

TEST(FlashRecordReader, DecodesRecordsWhateverTheDeliveryChunks)
{
    const std::string stream = EncodeFlashToolMessage(3, FTM_PROGRESS, "45 100 a b c") +
                               Header(8, 1005) +  // no payload: the next length follows the code
                               EncodeFlashToolMessage(3, FTM_CHIP_NAME, "GSP3") +
                               EncodeFlashToolMessage(3, FTM_DONE, nullptr);
    const std::vector<Seen> expected = {
        {FTM_PROGRESS, "45 100 a b c"}, {1005, "45 100 a b c"}, {FTM_CHIP_NAME, "GSP3"}, {FTM_DONE, "GSP3"}};
    for (unsigned nChunk : {0u, 1u, 3u, 5u, 12u}) {
        FlashReadResult end;
        EXPECT_EQ(ReadAll(stream, nChunk, end), expected) << "chunk " << nChunk;
        EXPECT_EQ(end, FRR_END) << "chunk " << nChunk;
    }
}

TEST(FlashRecordReader, KeepsTheBufferBetweenRecordsAsTheUtilityExpects)
{
    // A payload overwrites only its own bytes: a shorter text without NUL shows the rest of the
    // previous one, and lengths of 8 or less (negative ones too) carry no payload at all.
    const std::string stream = EncodeFlashToolMessage(0, FTM_CHIP_NAME, "GSP2e/LPx") + Header(12, FTM_CHIP_NAME) +
                               "GSP3" + Header(4, 1000) + Header(0, 1001) + Header(-5, 1002) + Header(INT_MIN, 1003) +
                               Header(9, 1007) + "Z";
    FlashReadResult end;
    const std::vector<Seen> expected = {{FTM_CHIP_NAME, "GSP2e/LPx"}, {FTM_CHIP_NAME, "GSP3e/LPx"}, {1000, "GSP3e/LPx"},
                                        {1001, "GSP3e/LPx"},          {1002, "GSP3e/LPx"},          {1003, "GSP3e/LPx"},
                                        {1007, "ZSP3e/LPx"}};
    EXPECT_EQ(ReadAll(stream, 0, end), expected);
    EXPECT_EQ(end, FRR_END);
}

TEST(FlashRecordReader, CutsLongPayloadsAndStaysInStep)
{
    // 3000 bytes without a NUL, then exactly the buffer's 1024 without a NUL, then a record
    // that must still be read from the right place.
    const std::string long3000(3000, 'a');
    const std::string exact1024 = "77" + std::string(1022, 'b');
    const std::string stream = Header(8 + 3000, 999) + long3000 + Header(8 + 1024, FTM_PROGRESS) + exact1024 +
                               EncodeFlashToolMessage(0, FTM_DONE, nullptr);
    CMemoryByteSource source(stream.data(), stream.size(), 7);
    CFlashRecordReader reader(source);

    ASSERT_EQ(reader.Next(), FRR_RECORD);
    EXPECT_EQ(reader.GetCode(), 999);
    EXPECT_EQ(std::string(reader.GetText()), std::string(1024, 'a'));
    EXPECT_EQ(reader.GetSkipped(), 3000u - 1024u);

    ASSERT_EQ(reader.Next(), FRR_RECORD);
    EXPECT_EQ(reader.GetCode(), FTM_PROGRESS);
    EXPECT_EQ(std::string(reader.GetText()), exact1024);
    EXPECT_EQ(reader.GetSkipped(), 0u);

    ASSERT_EQ(reader.Next(), FRR_RECORD);
    EXPECT_EQ(reader.GetCode(), FTM_DONE);
    EXPECT_EQ(reader.Next(), FRR_END);
}

TEST(FlashRecordReader, DataThatEndsOrFailsInsideARecordStopsTheReader)
{
    const std::string whole = EncodeFlashToolMessage(0, 7, "port gone");
    for (size_t cut = 1; cut < whole.size(); ++cut) {
        const std::string stream = EncodeFlashToolMessage(0, FTM_PROGRESS, "1 2 a b c") + whole.substr(0, cut);
        CMemoryByteSource source(stream.data(), stream.size());
        CFlashRecordReader reader(source);
        ASSERT_EQ(reader.Next(), FRR_RECORD);
        EXPECT_EQ(reader.Next(), FRR_TRUNCATED) << "cut at " << cut;
        EXPECT_FALSE(reader.IsOk());
        EXPECT_EQ(reader.Next(), FRR_TRUNCATED) << "stays failed";
    }
    // A long payload cut inside its skipped part.
    const std::string cutLong = Header(8 + 2000, 5) + std::string(1500, 'q');
    FlashReadResult end;
    EXPECT_TRUE(ReadAll(cutLong, 0, end).empty());
    EXPECT_EQ(end, FRR_TRUNCATED);
    EXPECT_TRUE(ReadAll("", 0, end).empty());
    EXPECT_EQ(end, FRR_END);

    const std::string failing = EncodeFlashToolMessage(0, FTM_PROGRESS, "5 0 a b c") + Header(20, 1);
    FailingSource source(failing.data(), failing.size());
    CFlashRecordReader reader(source);
    ASSERT_EQ(reader.Next(), FRR_RECORD);
    EXPECT_EQ(reader.Next(), FRR_FAILED);
    EXPECT_EQ(reader.Next(), FRR_FAILED);
}
