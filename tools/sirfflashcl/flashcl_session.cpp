#include "flashcl_session.h"

#include "chip_list.h"
#include "flashcl_codes.h"
#include "protocol/commands.h"
#include "srec_reader.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>

using namespace flashproto;

namespace {

constexpr uint32_t kSectorEraseMs = 3000;
constexpr uint32_t kChipEraseMs = 30000;

std::string Hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%08llX", static_cast<unsigned long long>(v));
    return buf;
}

int Fail(Reporter& out, int32_t code, const std::string& text)
{
    out.Error(code, text);
    return code;
}

enum class FileRead { Ok, Missing, Failed };

FileRead ReadWholeFile(const std::string& path, std::string& data)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return FileRead::Missing;
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.bad() ? FileRead::Failed : FileRead::Ok;
}

// Turns a failed command into the run's error. refusedCode: the code for a receiver that
// understood the command and could not carry it out.
int HostFailure(Reporter& out,
                const FlashHost& host,
                HostResult r,
                int32_t refusedCode,
                const char* doing,
                uint64_t address)
{
    const std::string where = " while " + std::string(doing) + " at " + Hex(address);
    switch (r) {
        case HostResult::Refused: {
            const uint8_t st = host.LastStatus();
            if (st == ST_NOT_SYNCED || st == ST_UNKNOWN || st == ST_BAD_LENGTH)
                return Fail(out, FLASHCL_ERR_PROTOCOL,
                            "The receiver rejected a command (" + std::string(StatusText(st)) + ")" + where + ".");
            return Fail(out, refusedCode, "The receiver failed" + where + ": " + StatusText(st) + ".");
        }
        case HostResult::Garbled:
            return Fail(out, FLASHCL_ERR_LINE_NOISY,
                        "Only damaged data came back from the receiver" + where + "; check the cable and the speed.");
        case HostResult::BadReply:
        case HostResult::NoAnswer:
            return Fail(out, FLASHCL_ERR_PROTOCOL, "The receiver gave a malformed reply" + where + ".");
        case HostResult::PortFailed:
            return Fail(out, FLASHCL_ERR_LINE_LOST, "The serial line failed" + where + "; was the receiver unplugged?");
        case HostResult::Lost:
        case HostResult::Ok:
            break;
    }
    return Fail(out, FLASHCL_ERR_LINE_LOST, "The receiver stopped answering" + where + ".");
}

int ReadFlash(const FlashToolOptions& opt,
              const ChipLayout* layout,
              const std::string& chip,
              FlashHost& host,
              Reporter& out)
{
    uint64_t last = opt.to;
    if (!opt.haveTo) {
        if (!layout)
            return Fail(out, FLASHCL_ERR_CHIP_UNKNOWN,
                        "The flash size of chip " + chip + " is unknown (not in the chip list); give -t.");
        last = layout->flashSize - 1;
    }
    const uint64_t total = last - opt.from + 1;
    std::string data;
    for (uint64_t addr = opt.from; addr <= last;) {
        const uint16_t chunk = uint16_t(std::min<uint64_t>(host.MaxData(), last - addr + 1));
        std::vector<uint8_t> block;
        const HostResult r = host.Read(uint32_t(addr), chunk, block);
        if (r != HostResult::Ok)
            return HostFailure(out, host, r, FLASHCL_ERR_READ, "reading", addr);
        data.append(block.begin(), block.end());
        addr += chunk;
        out.Progress(int(data.size() * 100 / total), uint32_t(data.size()), "reading", uint32_t(addr - 1));
    }
    std::ofstream file(opt.file, std::ios::binary | std::ios::trunc);
    file.write(data.data(), std::streamsize(data.size()));
    file.close();
    if (!file)
        return Fail(out, FLASHCL_ERR_FILE_WRITE, "Cannot write the file " + opt.file + ".");
    host.Restart();  // back to its firmware; a lost answer here changes nothing that was read
    out.Done();
    return 0;
}

int ProgramFlash(const FlashToolOptions& opt,
                 const FirmwareImage& image,
                 const ChipLayout& layout,
                 FlashHost& host,
                 Reporter& out)
{
    for (const ImageSegment& s : image.segments) {
        if (uint64_t(s.address) + s.data.size() > layout.flashSize)
            return Fail(out, FLASHCL_ERR_IMAGE_FIT,
                        "The firmware holds data at " + Hex(s.address) + " to " +
                            Hex(uint64_t(s.address) + s.data.size() - 1) + ", outside the " +
                            std::to_string(layout.flashSize / 1024) + " KiB flash of " + layout.name + ".");
    }
    const uint64_t total = image.TotalBytes();

    if (opt.eraseAll) {
        out.Progress(0, 0, "erasing", 0);
        const HostResult r = host.EraseChip(kChipEraseMs);
        if (r != HostResult::Ok)
            return HostFailure(out, host, r, FLASHCL_ERR_ERASE, "erasing the chip", 0);
        out.Progress(5, 0, "erasing", 0);
    } else {
        std::set<uint32_t> sectors;
        for (const ImageSegment& s : image.segments) {
            for (uint64_t a = s.address / layout.sectorSize; a <= (s.End() - 1ull) / layout.sectorSize; ++a)
                sectors.insert(uint32_t(a * layout.sectorSize));
        }
        size_t done = 0;
        for (uint32_t sector : sectors) {
            const HostResult r = host.EraseSector(sector, kSectorEraseMs);
            if (r != HostResult::Ok)
                return HostFailure(out, host, r, FLASHCL_ERR_ERASE, "erasing the sector", sector);
            ++done;
            out.Progress(int(5 * done / sectors.size()), uint32_t(done * layout.sectorSize), "erasing", sector);
        }
    }

    uint64_t written = 0;
    for (const ImageSegment& s : image.segments) {
        for (size_t off = 0; off < s.data.size();) {
            size_t consumed = 0;
            const uint32_t addr = s.address + uint32_t(off);
            const HostResult r = host.Write(addr, s.data.data() + off, s.data.size() - off, consumed);
            if (r != HostResult::Ok)
                return HostFailure(out, host, r, FLASHCL_ERR_WRITE, "writing", addr);
            off += consumed;
            written += consumed;
            out.Progress(int(5 + 90 * written / total), uint32_t(written), "writing", addr);
        }
    }

    uint64_t verified = 0;
    for (const ImageSegment& s : image.segments) {
        uint32_t crc = 0;
        const uint32_t len = uint32_t(s.data.size());
        const HostResult r = host.Crc(s.address, len, crc, len / 64 + 1000);
        if (r != HostResult::Ok)
            return HostFailure(out, host, r, FLASHCL_ERR_VERIFY, "verifying", s.address);
        const uint32_t expected = Crc32(s.data.data(), s.data.size());
        if (crc != expected) {
            char buf[200];
            std::snprintf(buf, sizeof buf,
                          "Verification failed: the receiver's CRC-32 of 0x%08X to 0x%08X is %08X, the firmware's "
                          "is %08X.",
                          unsigned(s.address), unsigned(s.address + len - 1), unsigned(crc), unsigned(expected));
            return Fail(out, FLASHCL_ERR_VERIFY, buf);
        }
        verified += len;
        out.Progress(int(95 + 5 * verified / total), uint32_t(verified), "verifying", s.address);
    }
    host.Restart();  // the flash is verified; the receiver restarts into it either way
    out.Done();
    return 0;
}

}  // namespace

int RunFlashSession(const FlashToolOptions& opt,
                    const SessionSettings& settings,
                    const PortOpener& openPort,
                    Reporter& out)
{
    ChipList chips = ChipList::BuiltIn();
    if (!settings.chipListPath.empty()) {
        std::string text, error;
        const FileRead fr = ReadWholeFile(settings.chipListPath, text);
        if (fr == FileRead::Failed || (fr == FileRead::Ok && !chips.Parse(text, error)))
            return Fail(out, FLASHCL_ERR_CHIP_LIST,
                        "The chip list " + settings.chipListPath +
                            " is damaged: " + (error.empty() ? std::string("it cannot be read") : error) + ".");
    }

    FirmwareImage image;
    if (!opt.read) {
        std::string text, error;
        if (ReadWholeFile(opt.file, text) != FileRead::Ok)
            return Fail(out, FLASHCL_ERR_FILE_READ, "Cannot read the firmware file " + opt.file + ".");
        if (!ParseSRecords(text, image, error))
            return Fail(out, FLASHCL_ERR_FILE_BAD,
                        "The firmware file " + opt.file + " is not valid S-record text: " + error + ".");
    }

    // A line text that is no port number names no port on any system.
    if (opt.line <= 0)
        return Fail(out, FTM_ERR_NO_PORT, "There is no serial port \"" + opt.lineText + "\".");
    OpenedPort port = openPort(opt);
    if (!port.port)
        return Fail(out, port.code ? port.code : FTM_ERR_PORT_BUSY, port.text);

    flashproto::HostOptions hostOptions = settings.host;
    hostOptions.baud = opt.baud;
    hostOptions.compress = settings.compress;
    FlashHost host(*port.port, hostOptions);
    ReceiverInfo info;
    const HostResult r = host.Sync(settings.noAnswerMs, info);
    if (r == HostResult::NoAnswer)
        return Fail(out, FLASHCL_ERR_NO_ANSWER,
                    "No receiver answered on " + port.name + " at " + std::to_string(opt.baud) + " bit/s.");
    if (r == HostResult::PortFailed)
        return Fail(out, FTM_ERR_PORT_BUSY, "The serial port " + port.name + " failed when first used.");
    if (r != HostResult::Ok)
        return Fail(out, FLASHCL_ERR_PROTOCOL, "The device on " + port.name + " answered out of protocol.");

    // The updater's watchdog waits for a progress record: send one as soon as the receiver is there.
    out.ChipName(info.chip);
    out.Progress(0, 0, "connected", 0);

    const ChipLayout* layout = chips.Find(info.chip);
    if (opt.read)
        return ReadFlash(opt, layout, info.chip, host, out);
    if (!layout)
        return Fail(
            out, FLASHCL_ERR_CHIP_UNKNOWN,
            "The receiver's chip family " + info.chip + " is not in the chip list; its flash layout is unknown.");
    return ProgramFlash(opt, image, *layout, host, out);
}
