// Files for the updater window's tests: bitmaps with every header field under the test's
// control, payload files as a release carries them, and a scratch directory.
#pragma once

#include "afx/little_endian.h"
#include "payload/payload_writer.h"
#include "tests/support/files.h"
#include "tests/support/scratch_dir.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace test_support {

inline void Set32(Bytes& b, size_t at, uint32_t v)
{
    StoreLE32(b.data() + at, v);
}

// A bitmap file as a writer would make it: 14-byte file header, 40-byte info header, a full
// colour table for 1, 4 and 8 bits (entry i is blue i, green 2i, red 3i, reserved 0xEE), then
// rows of pixel bytes counting up from 0.
struct Bmp {
    int32_t width = 4;
    int32_t height = 3;
    uint16_t bitCount = 24;
    uint32_t clrUsed = 0;
    uint32_t compression = 0;

    int Colors() const { return bitCount == 1 ? 2 : bitCount == 4 ? 16 : bitCount == 8 ? 256 : 0; }
    size_t Stride() const { return size_t((uint32_t(width) * bitCount + 31) / 32 * 4); }
    size_t PixelBytes() const { return Stride() * size_t(height < 0 ? -height : height); }
    size_t PixelOffset() const { return 14 + 40 + 4 * size_t(Colors()); }

    Bytes Build() const
    {
        Bytes b;
        AppendLE16(b, 0x4D42);
        AppendLE32(b, uint32_t(PixelOffset() + PixelBytes()));
        AppendLE16(b, 0);
        AppendLE16(b, 0);
        AppendLE32(b, uint32_t(PixelOffset()));
        AppendLE32(b, 40);
        AppendLE32(b, uint32_t(width));
        AppendLE32(b, uint32_t(height));
        AppendLE16(b, 1);
        AppendLE16(b, bitCount);
        AppendLE32(b, compression);
        AppendLE32(b, uint32_t(PixelBytes()));
        AppendLE32(b, 2835);
        AppendLE32(b, 2835);
        AppendLE32(b, clrUsed);
        AppendLE32(b, 0);
        for (int i = 0; i < Colors(); ++i) {
            b.push_back(uint8_t(i));
            b.push_back(uint8_t(2 * i));
            b.push_back(uint8_t(3 * i));
            b.push_back(0xEE);
        }
        for (size_t i = 0; i < PixelBytes(); ++i)
            b.push_back(uint8_t(i));
        return b;
    }
};

inline bool FileExists(const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f)
        std::fclose(f);
    return f != nullptr;
}

// A payload behind a stand-in program, as the release packer writes it.
inline Bytes BuildRelease(const std::vector<std::pair<std::string, Bytes>>& entries)
{
    CPayloadWriter writer({'M', 'Z', ' ', 'b', 'a', 'r', 'e', '\n'});
    for (const auto& e : entries)
        writer.AddEntry(e.first, e.second);
    return writer.Finish();
}

}  // namespace test_support
