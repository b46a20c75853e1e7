// The protocol's host side against its device side in one process: framing, the commands, and
// recovery from a line that loses, tears, repeats or corrupts frames.
#include "afx/little_endian.h"
#include "tests/device/device_test_support.h"
#include "tools/protocol/commands.h"
#include "tools/protocol/flash_host.h"

#include <gtest/gtest.h>

using namespace flashproto;
using namespace test_support;

namespace {

constexpr uint32_t kFlash = 0x40000;
constexpr uint32_t kSector = 0x10000;

std::vector<uint8_t> Bytes(size_t n, uint32_t variant)
{
    return FirmwareLikeBytes(n, variant);
}

// Collects every frame a decoder finds in bytes fed one at a time.
std::vector<std::pair<FrameDecoder::Result, Frame>> DecodeAll(const std::vector<uint8_t>& bytes,
                                                              bool lookBehind = false)
{
    FrameDecoder d(lookBehind);
    std::vector<std::pair<FrameDecoder::Result, Frame>> found;
    for (uint8_t b : bytes) {
        d.Feed(&b, 1);
        Frame f;
        FrameDecoder::Result r;
        while ((r = d.Next(f)) != FrameDecoder::Result::None)
            found.emplace_back(r, f);
    }
    return found;
}

TEST(Frames, CrcIsZlibs)
{
    const char* check = "123456789";
    EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>(check), 9), 0xCBF43926u);
}

TEST(Frames, FoundWholeInNoiseAndAfterDamage)
{
    const std::vector<uint8_t> a = EncodeFrame(7, {OP_READ, 1, 2, 3}), b = EncodeFrame(8, Bytes(300, 1));
    std::vector<uint8_t> torn = EncodeFrame(9, Bytes(40, 2));
    torn.resize(20);  // cut off: its length field makes it swallow the start of the next frame
    std::vector<uint8_t> bad = EncodeFrame(10, {OP_CRC, 9, 9});
    bad[6] ^= 0x01;  // payload bit flipped: end marker intact, CRC wrong

    std::vector<uint8_t> stream = {0x00, 0xA5, 0x13, 0xA5, 0x5A, 0xFF, 0xFF};  // noise, a false start
    stream.insert(stream.end(), a.begin(), a.end());
    stream.insert(stream.end(), bad.begin(), bad.end());
    stream.insert(stream.end(), torn.begin(), torn.end());
    stream.insert(stream.end(), b.begin(), b.end());

    const auto found = DecodeAll(stream);
    std::vector<uint8_t> good;
    bool damagedTen = false;
    for (const auto& [r, f] : found) {
        if (r == FrameDecoder::Result::Frame)
            good.push_back(f.seq);
        damagedTen = damagedTen || (r == FrameDecoder::Result::Damaged && f.seq == 10);
    }
    EXPECT_EQ(good, (std::vector<uint8_t>{7, 8}));
    EXPECT_TRUE(damagedTen);
    ASSERT_EQ(found.back().second.payload, Bytes(300, 1));
}

TEST(Frames, LookBehindFindsAReplyHiddenByAFalseLength)
{
    // A false start whose length claims 32 bytes, then a short good frame and nothing more.
    std::vector<uint8_t> stream = {0xA5, 0x5A, 0x20, 0x00, 0x07, 0x01};
    const std::vector<uint8_t> a = EncodeFrame(4, {OP_ERASE_CHIP | OP_REPLY, ST_OK});
    stream.insert(stream.end(), a.begin(), a.end());
    EXPECT_TRUE(DecodeAll(stream).empty());  // the receiver's way: wait for the front frame
    const auto found = DecodeAll(stream, true);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].second.seq, 4);
}

class HostDevice : public ::testing::Test {
protected:
    HostDevice() : device("GSP3", std::vector<uint8_t>(kFlash, 0xFF), kSector), line(device)
    {
        HostOptions o;
        o.now = [this]() { return line.clockMs; };
        host = std::make_unique<FlashHost>(line, o);
    }
    void SyncOk()
    {
        ReceiverInfo info;
        ASSERT_EQ(host->Sync(1000, info), HostResult::Ok);
        ASSERT_EQ(info.chip, "GSP3");
        EXPECT_EQ(info.flashSize, kFlash);  // the receiver states its layout
        EXPECT_EQ(info.sectorSize, kSector);
    }
    // Writes data at addr block by block; the first error, or Ok.
    HostResult WriteAll(uint32_t addr, const std::vector<uint8_t>& data)
    {
        for (size_t off = 0; off < data.size();) {
            size_t used = 0;
            const HostResult r = host->Write(addr + uint32_t(off), data.data() + off, data.size() - off, used);
            if (r != HostResult::Ok)
                return r;
            off += used;
        }
        return HostResult::Ok;
    }

    FlashDevice device;
    LoopbackLine line;
    std::unique_ptr<FlashHost> host;
};

TEST_F(HostDevice, CommandsDoWhatTheySay)
{
    std::vector<uint8_t> data;
    ASSERT_EQ(host->Read(0, 16, data), HostResult::Refused);  // not synchronised yet
    EXPECT_EQ(host->LastStatus(), ST_NOT_SYNCED);
    SyncOk();

    const std::vector<uint8_t> image = Bytes(10000, 3);
    ASSERT_EQ(WriteAll(0x1000, image), HostResult::Ok);
    uint32_t crc = 0;
    ASSERT_EQ(host->Crc(0x1000, uint32_t(image.size()), crc, 0), HostResult::Ok);
    EXPECT_EQ(crc, Crc32(image.data(), image.size()));
    ASSERT_EQ(host->Read(0x1000, 4096, data), HostResult::Ok);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), image.begin()));

    // Programming over unerased flash fails, as on NOR flash; after an erase it works.
    size_t used = 0;
    const uint8_t other[4] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(host->Write(0x1000, other, 4, used), HostResult::Refused);
    EXPECT_EQ(host->LastStatus(), ST_WRITE_FAILED);
    ASSERT_EQ(host->EraseSector(0, 0), HostResult::Ok);
    EXPECT_EQ(host->Write(0x1000, other, 4, used), HostResult::Ok);
    EXPECT_EQ(device.Flash()[0x1003], 0x78);
    EXPECT_EQ(device.Flash()[0x1004], 0xFF);

    EXPECT_EQ(host->EraseSector(0x8000, 0), HostResult::Refused);  // not a sector start
    EXPECT_EQ(host->LastStatus(), ST_RANGE);
    EXPECT_EQ(host->Read(kFlash - 8, 16, data), HostResult::Refused);
    EXPECT_EQ(host->LastStatus(), ST_RANGE);

    ASSERT_EQ(host->EraseChip(0), HostResult::Ok);
    EXPECT_EQ(std::count(device.Flash().begin(), device.Flash().end(), 0xFF), long(kFlash));
    ASSERT_EQ(host->Restart(), HostResult::Ok);
    EXPECT_FALSE(device.Synced());
    EXPECT_EQ(host->Resends(), 0);
}

TEST_F(HostDevice, CompressedBlocksShortenTheLineAndLandIntact)
{
    SyncOk();
    const std::vector<uint8_t> image = Bytes(100000, 4);
    const size_t before = line.bytesToDevice;
    ASSERT_EQ(WriteAll(0x10000, image), HostResult::Ok);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), device.Flash().begin() + 0x10000));
    EXPECT_LT(line.bytesToDevice - before, image.size() * 3 / 4);

    // Without compression the same bytes go plain, in full.
    HostOptions o;
    o.now = [this]() { return line.clockMs; };
    o.compress = false;
    FlashHost plain(line, o);
    ReceiverInfo info;
    ASSERT_EQ(plain.Sync(1000, info), HostResult::Ok);
    ASSERT_EQ(plain.EraseChip(0), HostResult::Ok);
    const size_t start = line.bytesToDevice;
    for (size_t off = 0, used = 0; off < image.size(); off += used)
        ASSERT_EQ(plain.Write(uint32_t(off), image.data() + off, image.size() - off, used), HostResult::Ok);
    EXPECT_GE(line.bytesToDevice - start, image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), device.Flash().begin()));
}

TEST_F(HostDevice, DamagedCompressedBlockIsRefusedNotWritten)
{
    SyncOk();
    std::vector<uint8_t> cmd{OP_WRITE_Z};
    AppendLE32(cmd, 0);
    AppendLE16(cmd, 64);
    const uint8_t junk[] = {0x78, 0x9C, 0x01, 0x02, 0x03, 0x04};
    cmd.insert(cmd.end(), junk, junk + sizeof junk);
    const std::vector<uint8_t> frame = EncodeFrame(200, cmd);
    std::vector<uint8_t> reply;
    device.Receive(frame.data(), frame.size(), reply);
    const auto found = DecodeAll(reply);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].second.payload, (std::vector<uint8_t>{OP_WRITE_Z | OP_REPLY, ST_BAD_DATA}));
    EXPECT_EQ(device.Flash()[0], 0xFF);
}

struct FaultCase {
    const char* name;
    LineFault fault;
    bool resends;  // whether recovering needs the command sent again
};

// Frame 0 is SYNC, frame 1 the erase; the write under test is frame 2, with its reply 2.
const FaultCase kFaults[] = {
    {"command lost", {LineFault::ToDevice, LineFault::DropFrame, 2}, true},
    {"command byte lost", {LineFault::ToDevice, LineFault::DropByte, 2, 100}, true},
    {"command byte corrupted", {LineFault::ToDevice, LineFault::CorruptByte, 2, 50}, true},
    {"command cut off", {LineFault::ToDevice, LineFault::Truncate, 2, 30}, true},
    {"command arrives twice", {LineFault::ToDevice, LineFault::Duplicate, 2}, false},
    {"reply lost", {LineFault::ToHost, LineFault::DropFrame, 2}, true},
    {"reply status corrupted", {LineFault::ToHost, LineFault::CorruptByte, 2, 6}, true},
    {"reply length corrupted", {LineFault::ToHost, LineFault::CorruptByte, 2, 3}, true},
    {"reply cut off", {LineFault::ToHost, LineFault::Truncate, 2, 5}, true},
    {"reply arrives twice", {LineFault::ToHost, LineFault::Duplicate, 2}, false},
    {"noise before the reply", {LineFault::ToHost, LineFault::Noise, 2}, false},
};

TEST_F(HostDevice, EveryLineFaultIsRecoveredWithoutWritingTwice)
{
    const std::vector<uint8_t> block = Bytes(4096, 5);
    for (const FaultCase& c : kFaults) {
        SCOPED_TRACE(c.name);
        FlashDevice dev("GSP3", std::vector<uint8_t>(kFlash, 0xFF), kSector);
        LoopbackLine l(dev);
        l.faults = {c.fault};
        HostOptions o;
        o.now = [&l]() { return l.clockMs; };
        o.compress = false;
        FlashHost h(l, o);
        ReceiverInfo info;
        ASSERT_EQ(h.Sync(1000, info), HostResult::Ok);
        ASSERT_EQ(h.EraseSector(0, 0), HostResult::Ok);
        size_t used = 0;
        ASSERT_EQ(h.Write(0x100, block.data(), block.size(), used), HostResult::Ok);
        // A write carried out twice over programmed flash would have failed; check the next
        // command is not confused by leftovers of the fault either.
        uint32_t crc = 0;
        ASSERT_EQ(h.Crc(0x100, 4096, crc, 0), HostResult::Ok);
        EXPECT_EQ(crc, Crc32(block.data(), block.size()));
        EXPECT_EQ(dev.Executed(), 4);
        EXPECT_EQ(h.Resends() > 0, c.resends);
    }
}

TEST_F(HostDevice, LateRepeatOfAnOkNeverStandsInForTheNextFailure)
{
    SyncOk();
    ASSERT_EQ(host->EraseSector(0, 0), HostResult::Ok);
    const uint8_t data[4] = {1, 2, 3, 4};
    size_t used = 0;
    // Reply 2 (the first write's OK) arrives twice; the second write, over programmed
    // flash, fails and must be seen to fail.
    line.faults = {{LineFault::ToHost, LineFault::Duplicate, 2}};
    ASSERT_EQ(host->Write(0x10, data, 4, used), HostResult::Ok);
    const uint8_t other[4] = {0xF0, 0x0F, 0xAA, 0x55};
    EXPECT_EQ(host->Write(0x10, other, 4, used), HostResult::Refused);
    EXPECT_EQ(host->LastStatus(), ST_WRITE_FAILED);
}

TEST_F(HostDevice, UnpluggedReceiverEndsInLostWithinBoundedTime)
{
    SyncOk();
    ASSERT_EQ(host->EraseChip(0), HostResult::Ok);
    line.deafAfterWrites = line.Writes();
    const std::vector<uint8_t> block = Bytes(4096, 6);
    size_t used = 0;
    const uint64_t t0 = line.clockMs;
    EXPECT_EQ(host->Write(0, block.data(), block.size(), used), HostResult::Lost);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(host->Resends(), 5);
    EXPECT_LT(line.clockMs - t0, 10000u);

    line.failWritesAfter = line.Writes();
    EXPECT_EQ(host->Write(0, block.data(), block.size(), used), HostResult::PortFailed);
}

TEST_F(HostDevice, LineThatOnlyGarblesIsReportedAsSuch)
{
    SyncOk();
    for (int i = 1; i < 20; ++i)
        line.faults.push_back({LineFault::ToHost, LineFault::CorruptByte, i, 8});
    uint32_t crc = 0;
    EXPECT_EQ(host->Crc(0, 16, crc, 0), HostResult::Garbled);
}

TEST_F(HostDevice, SyncKeepsTryingForTheWholeWait)
{
    line.deafAfterWrites = 0;
    ReceiverInfo info;
    EXPECT_EQ(host->Sync(15000, info), HostResult::NoAnswer);
    EXPECT_GE(line.clockMs, 15000u);
    EXPECT_LT(line.clockMs, 16000u);
    EXPECT_GT(line.Writes(), 20);

    // A receiver that wakes up later is found.
    line.deafAfterWrites = -1;
    SyncOk();
}

TEST_F(HostDevice, SyncHearingOnlyDamageIsGarbledNotSilent)
{
    // Every reply torn at its start marker (noise) or at its CRC (damaged frames).
    for (size_t offset : {size_t(0), size_t(20)}) {
        SCOPED_TRACE(offset);
        LoopbackLine l(device);
        for (int i = 0; i < 100; ++i)
            l.faults.push_back({LineFault::ToHost, LineFault::CorruptByte, i, offset});
        HostOptions o;
        o.now = [&l]() { return l.clockMs; };
        FlashHost h(l, o);
        ReceiverInfo info;
        EXPECT_EQ(h.Sync(3000, info), HostResult::Garbled);
    }
}

TEST_F(HostDevice, ChipEraseOfASilentReceiverEndsWithinItsBound)
{
    SyncOk();
    line.deafAfterWrites = line.Writes();
    const uint64_t t0 = line.clockMs;
    EXPECT_EQ(host->EraseChip(30000), HostResult::Lost);
    EXPECT_GE(line.clockMs - t0, 30000u);
    EXPECT_LT(line.clockMs - t0, 31000u);
}

TEST_F(HostDevice, SlowReceiverAnsweringAnEarlierSyncIsFound)
{
    // Every SYNC reply arrives only after the next SYNC has gone out.
    line.lateReplies = true;
    ReceiverInfo info;
    ASSERT_EQ(host->Sync(5000, info), HostResult::Ok);
    EXPECT_EQ(info.chip, "GSP3");
}

}  // namespace
