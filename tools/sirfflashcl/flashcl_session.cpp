#include "tools/sirfflashcl/flashcl_session.h"

#include "afx/afx.h"
#include "tools/sirfflashcl/chip_list.h"
#include "tools/sirfflashcl/flashcl_codes.h"
#include "tools/protocol/commands.h"
#include "tools/sirfflashcl/receiver_finder.h"
#include "tools/sirfflashcl/session_inputs.h"
#include "tools/sirfflashcl/srec_reader.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>

using namespace flashproto;

namespace {

constexpr uint32_t kSectorEraseMs = 3000;
// CRC ranges are asked for in pieces, so that one answer never takes the receiver long.
constexpr uint32_t kVerifyPiece = 0x10000;

std::string Hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%08llX", static_cast<unsigned long long>(v));
    return buf;
}

std::string KiB(uint32_t bytes)
{
    return std::to_string(bytes / 1024) + " KiB";
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
                return out.Fail(FLASHCL_ERR_PROTOCOL,
                                "The receiver rejected a command (" + std::string(StatusText(st)) + ")" + where + ".");
            return out.Fail(refusedCode, "The receiver failed" + where + ": " + StatusText(st) + ".");
        }
        case HostResult::Garbled:
            return out.Fail(FLASHCL_ERR_LINE_NOISY, "Only damaged data came back from the receiver" + where +
                                                        "; check the cable and the speed.");
        case HostResult::BadReply:
        case HostResult::NoAnswer:
            return out.Fail(FLASHCL_ERR_PROTOCOL, "The receiver gave a malformed reply" + where + ".");
        case HostResult::PortFailed:
            return out.Fail(FLASHCL_ERR_LINE_LOST, "The serial line failed" + where + "; was the receiver unplugged?");
        case HostResult::Lost:
        case HostResult::Ok:
            break;
    }
    return out.Fail(FLASHCL_ERR_LINE_LOST, "The receiver stopped answering" + where + ".");
}

int ReadFlash(const FlashToolOptions& opt, const ReceiverInfo& info, FlashHost& host, Reporter& out)
{
    const uint64_t last = opt.haveTo ? opt.to : info.flashSize - 1ull;
    if (opt.from > last)
        return out.Fail(FLASHCL_ERR_READ, "Nothing to read: " + Hex(opt.from) + " lies past the receiver's " +
                                              KiB(info.flashSize) + " flash.");
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
        return out.Fail(FLASHCL_ERR_FILE_WRITE, "Cannot write the file " + opt.file + ".");
    host.Restart();  // back to its firmware; a lost answer here changes nothing that was read
    out.Done();
    return 0;
}

// Everything that can be known wrong before the first erase: a chip list that disagrees with
// the receiver, an image outside the flash, or one that would overwrite the user positions.
int CheckImage(const FlashToolOptions& opt,
               const SRecordImage& image,
               const ChipLayout& layout,
               const ReceiverInfo& info,
               Reporter& out)
{
    if (layout.flashSize != info.flashSize || layout.sectorSize != info.sectorSize)
        return out.Fail(FLASHCL_ERR_CHIP_MISMATCH, "The chip list gives " + layout.name + " a " +
                                                       KiB(layout.flashSize) + " flash in " + KiB(layout.sectorSize) +
                                                       " sectors, but the receiver has " + KiB(info.flashSize) +
                                                       " in " + KiB(info.sectorSize) + " sectors; nothing was erased.");
    for (const ImageSegment& s : image.segments) {
        const uint64_t last = uint64_t(s.address) + s.data.size() - 1;
        if (last >= layout.flashSize)
            return out.Fail(FLASHCL_ERR_IMAGE_FIT, "The firmware holds data at " + Hex(s.address) + " to " + Hex(last) +
                                                       ", outside the " + KiB(layout.flashSize) + " flash of " +
                                                       layout.name + ".");
        if (!opt.eraseUserPositions && s.address <= layout.userLast && last >= layout.userFirst)
            return out.Fail(FLASHCL_ERR_USER_POSITIONS,
                            "The firmware holds data at " + Hex(std::max<uint64_t>(s.address, layout.userFirst)) +
                                ", in the user positions (" + Hex(layout.userFirst) + " to " + Hex(layout.userLast) +
                                ") that are to be kept; nothing was erased.");
    }
    return 0;
}

int EraseForImage(const FlashToolOptions& opt,
                  const SessionSettings& settings,
                  const SRecordImage& image,
                  const ChipLayout& layout,
                  FlashHost& host,
                  Reporter& out)
{
    if (opt.eraseUserPositions) {
        out.Progress(0, 0, "erasing", 0);
        const HostResult r = host.EraseChip(settings.chipEraseMs);
        if (r != HostResult::Ok)
            return HostFailure(out, host, r, FLASHCL_ERR_ERASE, "erasing the chip", 0);
        out.Progress(5, 0, "erasing", 0);
        return 0;
    }
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
    return 0;
}

int WriteImage(const SRecordImage& image, FlashHost& host, Reporter& out)
{
    const uint64_t total = image.TotalBytes();
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
    return 0;
}

int VerifyImage(const SRecordImage& image, FlashHost& host, Reporter& out)
{
    const uint64_t total = image.TotalBytes();
    uint64_t verified = 0;
    for (const ImageSegment& s : image.segments) {
        for (size_t off = 0; off < s.data.size(); off += kVerifyPiece) {
            const uint32_t addr = s.address + uint32_t(off);
            const uint32_t len = uint32_t(std::min<size_t>(kVerifyPiece, s.data.size() - off));
            uint32_t crc = 0;
            const HostResult r = host.Crc(addr, len, crc, len / 64 + 1000);
            if (r != HostResult::Ok)
                return HostFailure(out, host, r, FLASHCL_ERR_VERIFY, "verifying", addr);
            const uint32_t expected = Crc32(s.data.data() + off, len);
            if (crc != expected) {
                char buf[200];
                std::snprintf(buf, sizeof buf,
                              "Verification failed: the receiver's CRC-32 of 0x%08X to 0x%08X is %08X, the "
                              "firmware's is %08X.",
                              unsigned(addr), unsigned(addr + len - 1), unsigned(crc), unsigned(expected));
                return out.Fail(FLASHCL_ERR_VERIFY, buf);
            }
            verified += len;
            out.Progress(int(95 + 5 * verified / total), uint32_t(verified), "verifying", addr);
        }
    }
    return 0;
}

int ProgramFlash(const FlashToolOptions& opt,
                 const SessionSettings& settings,
                 const SRecordImage& image,
                 const ChipLayout& layout,
                 const ReceiverInfo& info,
                 FlashHost& host,
                 Reporter& out)
{
    if (int code = CheckImage(opt, image, layout, info, out))
        return code;
    if (int code = EraseForImage(opt, settings, image, layout, host, out))
        return code;
    if (int code = WriteImage(image, host, out))
        return code;
    if (int code = VerifyImage(image, host, out))
        return code;
    host.Restart();  // the flash is verified; the receiver restarts into it either way
    out.Done();
    return 0;
}

std::string Speed(uint32_t baud)
{
    return std::to_string(baud) + " bit/s";
}

// A search that found no usable receiver, as the run's error.
int NotFound(const FoundReceiver& r, const std::string& port, Reporter& out)
{
    switch (r.kind) {
        case FoundReceiver::BadLoader:
            return out.Fail(FLASHCL_ERR_PROTOCOL, "The device on " + port + " answered out of protocol.");
        case FoundReceiver::Noisy:
            return out.Fail(FLASHCL_ERR_LINE_NOISY,
                            "Only unreadable data came back on " + port + " at every speed; check the cable.");
        case FoundReceiver::PortFailed:
            return out.Fail(FTM_ERR_PORT_BUSY, "The serial port " + port + " failed when first used.");
        case FoundReceiver::NotSirf:
            return out.Fail(FLASHCL_ERR_NOT_SIRF,
                            "The device on " + port + " at " + Speed(r.baud) +
                                " sends NMEA but is not a SiRF receiver: it ignored the switch to SiRF binary. "
                                "Nothing else was sent to it.");
        case FoundReceiver::Echo:
            return out.Fail(FLASHCL_ERR_NOT_SIRF, "The device on " + port +
                                                      " sends back what it is sent, as a loop-back plug or a modem "
                                                      "does: it is not a SiRF receiver.");
        default:
            return out.Fail(FLASHCL_ERR_NO_ANSWER,
                            "No receiver answered on " + port +
                                ": neither our loader nor NMEA or SiRF binary at 4800 to 115200 bit/s.");
    }
}

// The family of a receiver found in its normal mode, from its version and the chip list.
int FamilyOf(const FoundReceiver& r, const ChipList& chips, const std::string& port, std::string& family, Reporter& out)
{
    family = sirf::FamilyOfVersion(r.version, chips.VersionPrefixes());
    if (!family.empty())
        return 0;
    const std::string said =
        r.version.empty() ? "does not name its software version" : "names its software " + r.version;
    return out.Fail(FLASHCL_ERR_CHIP_UNKNOWN,
                    "The SiRF receiver on " + port + " " + said +
                        ", which no chip family in the chip list matches; its flash layout is unknown. It was left "
                        "in its normal mode.");
}

// From whatever the search found to our loader, synchronised; 0 or the error reported.
int ReachLoader(const FlashToolOptions& opt,
                const ChipList& chips,
                const std::string& port,
                ReceiverFinder& finder,
                FoundReceiver& found,
                Reporter& out)
{
    if (found.kind == FoundReceiver::InLoader)
        return 0;
    if (found.kind != FoundReceiver::Normal)
        return NotFound(found, port, out);
    std::string family;
    if (int code = FamilyOf(found, chips, port, family, out)) {
        if (!found.binary)
            finder.BackToNmea(found);
        return code;
    }
    found = finder.EnterBootMode(found, ReceiverFinder::LoaderSpeeds(opt.baud, true));
    if (found.kind == FoundReceiver::InLoader)
        return 0;
    if (found.kind == FoundReceiver::PortFailed || found.kind == FoundReceiver::BadLoader)
        return NotFound(found, port, out);
    return out.Fail(FLASHCL_ERR_FOREIGN_LOADER,
                    "The receiver on " + port + " (" + found.version +
                        ") is now in its boot loader, which does not answer this utility: it speaks another "
                        "protocol. Nothing was written. Switch the receiver off and on again, and update it with "
                        "its maker's utility.");
}

// --identify: what was found, for a person at the bench; the receiver is left in normal mode.
int Identify(const FoundReceiver& found,
             const ChipList& chips,
             const std::string& port,
             ReceiverFinder& finder,
             FlashHost& host,
             Reporter& out)
{
    if (found.kind == FoundReceiver::InLoader) {
        out.Info("port: " + port + "\nspeed: " + Speed(found.baud) +
                 "\nprotocol: our loader\nfamily: " + found.info.chip);
        host.Restart();  // back to its firmware, if it has one
        out.Done();
        return 0;
    }
    if (found.kind != FoundReceiver::Normal)
        return NotFound(found, port, out);
    const std::string family = sirf::FamilyOfVersion(found.version, chips.VersionPrefixes());
    out.Info("port: " + port + "\nspeed: " + Speed(found.baud) +
             "\nprotocol: " + (found.binary ? "SiRF binary" : "NMEA") +
             "\nversion: " + (found.version.empty() ? "(not given)" : found.version) +
             "\nfamily: " + (family.empty() ? "(not in the chip list)" : family));
    if (!found.binary)
        finder.BackToNmea(found);
    out.Done();
    return 0;
}

int RunWithPort(const FlashToolOptions& opt, const SessionSettings& settings, const PortOpener& openPort, Reporter& out)
{
    ChipList chips;
    if (int code = LoadChipList(settings, chips, out))
        return code;
    SRecordImage image;
    if (!opt.read && !opt.identify) {
        if (int code = LoadFirmware(opt, chips, image, out))
            return code;
    }

    // A line text that is no port number names no port on any system.
    if (opt.line <= 0)
        return out.Fail(FTM_ERR_NO_PORT, "There is no serial port \"" + opt.lineText + "\".");
    OpenedPort port = openPort(opt);
    if (!port.port)
        return out.Fail(port.code ? port.code : FTM_ERR_PORT_BUSY, port.text);

    flashproto::HostOptions hostOptions = settings.host;
    hostOptions.baud = opt.baud;
    hostOptions.compress = settings.compress;
    FlashHost host(*port.port, hostOptions);
    // The updater's watchdog waits 6 s for a first record, and the search may take longer: a
    // record goes out as soon as a device shows itself. A silent port gets none, and the
    // updater moves on to its next port after the 6 s, as it always has.
    ReceiverFinder finder(*port.port, host, settings.noAnswerMs, [&out] { out.Progress(0, 0, "searching", 0); });
    FoundReceiver found = finder.Find(ReceiverFinder::LoaderSpeeds(opt.baud, false));
    if (opt.identify)
        return Identify(found, chips, port.name, finder, host, out);
    if (int code = ReachLoader(opt, chips, port.name, finder, found, out))
        return code;
    const ReceiverInfo info = found.info;

    // The updater's watchdog waits for a progress record: send one as soon as the receiver is there.
    out.ChipName(info.chip);
    out.Progress(0, 0, "connected", 0);

    if (opt.read)
        return ReadFlash(opt, info, host, out);
    const ChipLayout* layout = chips.Find(info.chip);
    if (!layout)
        return out.Fail(FLASHCL_ERR_CHIP_UNKNOWN, "The receiver's chip family " + info.chip +
                                                      " is not in the chip list; its flash layout is unknown.");
    return ProgramFlash(opt, settings, image, *layout, info, host, out);
}

}  // namespace

int RunFlashSession(const FlashToolOptions& opt,
                    const SessionSettings& settings,
                    const PortOpener& openPort,
                    Reporter& out)
{
    out.HoldFinal();
    const int code = RunWithPort(opt, settings, openPort, out);  // the port is closed on return
    out.ReleaseFinal();
    return code;
}
