// Programming throughput of SiRFflashcl against gpsdevsim pacing the line at 115200 bit/s 8N1:
// firmware bytes per second over the line's 11,520 bytes per second, for plain and for
// compressed blocks. A benchmark, not a test: it prints its figures (docs/sirfflashcl.md).
//
//   flashcl_throughput [IMAGE_BYTES]
#include "tests/device/device_processes.h"
#include "tests/support/files.h"

#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace test_support;
namespace fs = std::filesystem;

namespace {

const std::string kBin = UPDATER_BIN_DIR;
constexpr double kLineBytesPerSecond = 115200 / 10.0;

// Runs the utility on the emulator's pty; returns the seconds to its final record, or -1.
double TimedRun(const std::string& pty, std::vector<std::string> args, std::map<std::string, std::string> env)
{
    env["SIRFFLASH_COM5"] = pty;
    const ToolRun run = RunFlashTool(kBin + "/SiRFflashcl", std::move(args), env, 600000);
    if (run.records.empty() || run.records.back().code != 1006) {
        std::printf("  run failed: %s\n", run.records.empty() ? "no records" : run.records.back().text.c_str());
        return -1;
    }
    return run.elapsedMs / 1000.0;
}

}  // namespace

int main(int argc, char** argv)
{
    const size_t imageBytes = argc > 1 ? size_t(std::strtoul(argv[1], nullptr, 10)) : 500000;
    const fs::path dir = fs::temp_directory_path() / ("flashcl-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);

    const std::vector<uint8_t> image = FirmwareLikeBytes(imageBytes, 2024);
    std::ofstream((dir / "fw.s").string(), std::ios::binary) << ToSRecords({{0x0, image}});
    uLongf zlen = compressBound(uLong(image.size()));
    std::vector<uint8_t> z(zlen);
    compress2(z.data(), &zlen, image.data(), uLong(image.size()), 9);

    Emulator sim(kBin + "/gpsdevsim", {"--flash", (dir / "flash.bin").string(), "--pace", "--baud", "115200"});
    if (!sim.Running()) {
        std::fprintf(stderr, "gpsdevsim did not start\n");
        return 1;
    }
    std::printf("image: %zu bytes of firmware-like content (zlib -9 of the whole image: %.2f of its size)\n",
                image.size(), double(zlen) / double(image.size()));
    std::printf("line: 115200 bit/s 8N1 = %.0f bytes/s, emulator pacing both ways\n\n", kLineBytesPerSecond);

    // Reference from this run: reading back 64 KiB, where the emulator's sending rate is the limit.
    const double readSeconds = TimedRun(
        sim.pty, {(dir / "back.bin").string(), "-l", "5", "-b", "115200", "-r", "-f", "0", "-t", "0xFFFF"}, {});
    if (readSeconds > 0)
        std::printf("%-22s %7.2f s %8.0f bytes/s  ratio %.3f\n", "read-back 64 KiB", readSeconds, 65536 / readSeconds,
                    65536 / readSeconds / kLineBytesPerSecond);

    int status = 0;
    for (bool compressed : {false, true}) {
        const double s = TimedRun(sim.pty, {(dir / "fw.s").string(), "-l", "5", "-b", "115200"},
                                  {{"SIRFFLASH_COMPRESS", compressed ? "1" : "0"}});
        const std::string flash = ReadText(dir / "flash.bin");
        const bool same = flash.size() >= image.size() && std::equal(image.begin(), image.end(), flash.begin(),
                                                                     [](uint8_t a, char b) { return a == uint8_t(b); });
        const std::string ended = sim.Ended();
        if (!ended.empty()) {
            std::printf("gpsdevsim %s during the run\n", ended.c_str());
            return 1;
        }
        if (s <= 0 || !same) {
            std::printf("%s run failed%s\n", compressed ? "compressed" : "plain", same ? "" : " (flash differs)");
            status = 1;
            continue;
        }
        std::printf("%-22s %7.2f s %8.0f bytes/s  ratio %.3f  (whole run: sync, erase, write, verify)\n",
                    compressed ? "compressed blocks" : "plain blocks", s, double(image.size()) / s,
                    double(image.size()) / s / kLineBytesPerSecond);
    }
    // Data that does not compress must not pay for the attempt: it goes in plain blocks.
    std::vector<uint8_t> noise(imageBytes * 2 / 5);
    uint32_t x = 12345;
    for (uint8_t& b : noise) {
        x = x * 1103515245u + 12345u;
        b = uint8_t(x >> 23);
    }
    std::ofstream((dir / "noise.s").string(), std::ios::binary) << ToSRecords({{0x0, noise}});
    const double s = TimedRun(sim.pty, {(dir / "noise.s").string(), "-l", "5", "-b", "115200"}, {});
    if (s > 0)
        std::printf("%-22s %7.2f s %8.0f bytes/s  ratio %.3f  (%zu random bytes)\n", "compressed, random data", s,
                    double(noise.size()) / s, double(noise.size()) / s / kLineBytesPerSecond, noise.size());
    else
        status = 1;

    std::printf("\ngoal: plain >= 0.9 of the line rate; stretch: compressed > 1.0\n");
    sim.Stop();
    std::error_code ec;
    fs::remove_all(dir, ec);
    return status;
}
