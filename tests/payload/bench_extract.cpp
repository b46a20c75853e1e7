// Extraction speed: ExtractAll of a payload shaped like a shipped release, against the limit a
// real extractor faces, measured in the same run: zlib inflating each stream into memory in one
// call and each file written with one write.
//   bench_extract [rounds]      prints both times and their ratio (goal: at most 1.15)
#include "payload/payload_archive.h"
#include "tests/payload/payload_builder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;
using namespace test_support;
using Clock = std::chrono::steady_clock;

namespace {

// About 1.1 MB of S-record text with the variety of real firmware data.
Bytes SRecordText(size_t target)
{
    Bytes noise = NoisyData(target / 2, 21);
    std::string text = "S00F000068656C6C6F202020202000003C\r\n";
    static const char hex[] = "0123456789ABCDEF";
    unsigned addr = 0;
    size_t k = 0;
    while (text.size() < target) {
        char line[80];
        int n = std::snprintf(line, sizeof line, "S3150%07X", addr);
        std::string l(line, size_t(n));
        for (int i = 0; i < 16; ++i) {
            // Firmware is code and tables: part repetitive, part noise.
            unsigned char b = (i % 4 == 0) ? noise[k++ % noise.size()] : static_cast<unsigned char>(addr >> (i % 3));
            l += hex[b >> 4];
            l += hex[b & 15];
        }
        l += "7F\r\n";
        text += l;
        addr += 16;
    }
    text += "S70500000000FA\r\n";
    return ToBytes(text);
}

Bytes ProgramLike(size_t n)
{
    Bytes b = NoisyData(n, 5);
    for (size_t i = 0; i < n; i += 3)
        b[i] = static_cast<unsigned char>(i & 0x3F);
    return b;
}

Bytes BitmapLike(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>(((i / 1062) * 7 + (i % 1062) / 40) & 0xFF);
    return b;
}

// Inflates through buffers of the archive's size, copying each step's output out, as the
// archive does before it writes.
bool InflateInSteps(const Bytes& z, Bytes& out)
{
    z_stream s{};
    if (inflateInit(&s) != Z_OK)
        return false;
    unsigned char in[SFX_IO_BUFFER], buf[SFX_IO_BUFFER];
    size_t pos = 0, done = 0;
    int ret = Z_OK;
    while (ret == Z_OK) {
        if (s.avail_in == 0) {
            size_t n = std::min(z.size() - pos, sizeof in);
            std::copy(z.begin() + long(pos), z.begin() + long(pos + n), in);
            pos += n;
            s.next_in = in;
            s.avail_in = uInt(n);
        }
        s.next_out = buf;
        s.avail_out = sizeof buf;
        ret = inflate(&s, Z_NO_FLUSH);
        size_t have = sizeof buf - s.avail_out;
        std::copy(buf, buf + have, out.begin() + long(done));
        done += have;
    }
    inflateEnd(&s);
    return ret == Z_STREAM_END;
}

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    const fs::path dir = fs::temp_directory_path() / "bench-extract";
    fs::remove_all(dir);
    fs::create_directories(dir / "out");

    std::vector<std::pair<std::string, Bytes>> entries = {
        {"fw_gsp3.s3x0", SRecordText(1101184)},
        {"SiRFflashcl.exe", ProgramLike(270336)},
        {"chiplist.txt", ToBytes(std::string(12823, 'c'))},
        {"language.ini", ToBytes(std::string(1042, 'l'))},
        {"tavo_logo_demo2.bmp", BitmapLike(307552)},
        {"Actualizacion 1.40", Bytes()},
    };
    PayloadBuilder builder(NoisyData(81920, 1));
    std::vector<Bytes> streams;
    size_t total = 0;
    for (auto& e : entries) {
        builder.AddEntry(e.first, e.second);
        streams.push_back(Deflate(e.second));
        total += e.second.size();
    }
    const std::string release = (dir / "release.exe").string();
    if (!WriteFile(release, builder.Build())) {
        std::fprintf(stderr, "cannot write %s\n", release.c_str());
        return 1;
    }

    CPayloadArchive archive(release.c_str());
    const std::string out = (dir / "out").string() + AFX_PATH_SEPARATOR;
    Clock::duration best = Clock::duration::max(), bestRef = Clock::duration::max();
    Clock::duration bestSteps = Clock::duration::max();
    Bytes sink;
    // Interleave the two measurements so that both see the same machine state.
    for (int r = 0; r < rounds; ++r) {
        auto t0 = Clock::now();
        if (archive.ExtractAll(out.c_str(), nullptr, nullptr) != SFX_OK) {
            std::fprintf(stderr, "extraction failed\n");
            return 1;
        }
        best = std::min(best, Clock::now() - t0);
        archive.DeleteExtracted(out.c_str());  // as after every update: the next one starts afresh

        // The reference writes the same files through the same file layer, and leaves out the
        // label as ExtractAll does.
        t0 = Clock::now();
        for (size_t i = 0; i + 1 < streams.size(); ++i) {
            sink.resize(entries[i].second.size() + 1);
            uLongf n = uLongf(sink.size());
            if (uncompress(sink.data(), &n, streams[i].data(), uLong(streams[i].size())) != Z_OK) {
                std::fprintf(stderr, "reference inflate failed\n");
                return 1;
            }
            CFile file;
            if (!file.Open((out + entries[i].first).c_str(),
                           CFile::modeCreate | CFile::modeWrite | CFile::shareDenyNone)) {
                std::fprintf(stderr, "reference cannot write %s\n", entries[i].first.c_str());
                return 1;
            }
            file.Write(sink.data(), unsigned(n));
            file.Close();
        }
        bestRef = std::min(bestRef, Clock::now() - t0);
        archive.DeleteExtracted(out.c_str());

        // Where the rest goes: the same streams inflated through 4096-byte buffers into memory.
        t0 = Clock::now();
        for (size_t i = 0; i < streams.size(); ++i) {
            sink.resize(entries[i].second.size() + 1);
            if (!InflateInSteps(streams[i], sink)) {
                std::fprintf(stderr, "inflate in steps failed\n");
                return 1;
            }
        }
        bestSteps = std::min(bestSteps, Clock::now() - t0);
    }
    fs::remove_all(dir);

    std::printf("payload: %zu bytes in 6 entries, best of %d rounds\n", total, rounds);
    std::printf("ExtractAll to files:          %8.3f ms\n", Seconds(best) * 1e3);
    std::printf("inflate in one call, 1 write: %8.3f ms  (reference)\n", Seconds(bestRef) * 1e3);
    std::printf("ratio ExtractAll / reference: %8.3f  (goal: at most 1.15)\n", Seconds(best) / Seconds(bestRef));
    std::printf("4096-byte steps, no files:    %8.3f ms  (ratio %.3f)\n", Seconds(bestSteps) * 1e3,
                Seconds(bestSteps) / Seconds(bestRef));
    return 0;
}
