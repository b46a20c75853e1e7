// libFuzzer target: what the flash utility and the receiver read from outside. The first byte
// picks the reader: S-record text (a firmware file, and the same text as a chip list), the frame decoder on a noisy
// line (both modes), the loader fed raw bytes or whole frames carrying any command, the NMEA and SiRF binary
// readers, or a whole receiver in its normal mode fed any bytes at its speed. None may crash, overrun, or hang.
#include "gpsdevsim/flash_device.h"
#include "gpsdevsim/receiver.h"
#include "tools/protocol/sirf_messages.h"
#include "tools/protocol/frame.h"
#include "tools/sirfflashcl/chip_list.h"
#include "tools/sirfflashcl/srec_reader.h"

#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t mode = data[0] % 8;
    const uint8_t* p = data + 1;
    const size_t n = size - 1;
    switch (mode) {
        case 0: {
            SRecordImage image;
            std::string error;
            if (ParseSRecords(std::string(reinterpret_cast<const char*>(p), n), image, error)) {
                // Segments come sorted and apart, as the flashing relies on.
                for (size_t i = 1; i < image.segments.size(); ++i)
                    if (image.segments[i].address <= image.segments[i - 1].End())
                        std::abort();
            } else if (error.empty()) {
                std::abort();  // a refusal always says why
            }
            // A list that parses holds only layouts the flashing can rely on.
            ChipList list;
            if (list.Parse(std::string(reinterpret_cast<const char*>(p), n), error)) {
                for (const ChipLayout& c : list.Chips()) {
                    if (c.sectorSize < ChipList::kMinSectorSize || (c.sectorSize & (c.sectorSize - 1)) != 0 ||
                        c.flashSize % c.sectorSize != 0 || c.flashSize > ChipList::kMaxFlashSize ||
                        c.userLast >= c.flashSize || c.userFirst % c.sectorSize != 0 ||
                        (c.userLast + 1) % c.sectorSize != 0)
                        std::abort();
                }
            }
            break;
        }
        case 1: {
            for (bool lookBehind : {false, true}) {
                flashproto::FrameDecoder decoder(lookBehind);
                flashproto::Frame frame;
                // Fed in uneven pieces, as a serial line delivers.
                for (size_t at = 0; at < n;) {
                    size_t piece = 1 + (p[at] % 7);
                    if (piece > n - at)
                        piece = n - at;
                    decoder.Feed(p + at, piece);
                    at += piece;
                    while (decoder.Next(frame) != flashproto::FrameDecoder::Result::None) {
                    }
                }
            }
            break;
        }
        case 4:
        case 5: {
            // Any split, as a serial line delivers; only intact sentences and frames come out.
            sirf::NmeaReader nmea;
            sirf::BinaryReader binary;
            for (size_t at = 0; at < n;) {
                size_t piece = 1 + (p[at] % 13);
                if (piece > n - at)
                    piece = n - at;
                nmea.Feed(p + at, piece);
                binary.Feed(p + at, piece);
                at += piece;
                std::string body;
                std::vector<uint8_t> payload;
                while (nmea.Next(body)) {
                    if (body.empty() || body.size() > sirf::kMaxSentence)
                        std::abort();
                }
                while (binary.Next(payload)) {
                    if (payload.empty() || payload.size() > sirf::kMaxBinaryPayload)
                        std::abort();
                    sirf::VersionOfMid6(payload);
                }
            }
            break;
        }
        case 6:
        case 7: {
            // A receiver in NMEA or binary at 4800 hears the bytes, one second passing between pieces.
            std::vector<uint8_t> flash(0x20000, 0xFF);
            const char firmware[] = "GSW3.2.4_3.1.00.12-SDK003P1.00a";
            std::copy(firmware, firmware + sizeof firmware, flash.begin());
            const gpsdevsim::PowerUp powerUp{mode == 6 ? gpsdevsim::Mode::Nmea : gpsdevsim::Mode::Binary, 4800, 38400};
            gpsdevsim::Receiver receiver("GSP3", flash, 0x10000, powerUp);
            std::vector<uint8_t> out;
            uint64_t now = 0;
            for (size_t at = 0; at < n;) {
                size_t piece = 1 + (p[at] % 61);
                if (piece > n - at)
                    piece = n - at;
                receiver.Receive(p + at, piece, receiver.Line(), out);
                receiver.Tick(now += 1000, 1765000000, receiver.Line(), out);
                at += piece;
                out.clear();
            }
            if (receiver.Loader().Flash().size() != flash.size())
                std::abort();
            break;
        }
        default: {
            flashproto::FlashDevice device("GSP3", std::vector<uint8_t>(0x10000, 0xFF), 0x1000);
            std::vector<uint8_t> out;
            if (mode == 2) {
                device.Receive(p, n, out);
            } else {
                // Whole frames around pieces of the input: every command with any arguments.
                uint8_t seq = 0;
                for (size_t at = 0; at < n;) {
                    size_t len = 1 + (p[at] % 64);
                    if (len > n - at)
                        len = n - at;
                    std::vector<uint8_t> frame = flashproto::EncodeFrame(seq++, p + at, len);
                    device.Receive(frame.data(), frame.size(), out);
                    at += len;
                }
            }
            if (device.Flash().size() != 0x10000)
                std::abort();
            break;
        }
    }
    return 0;
}
