// libFuzzer target: any file as the logo. Loading must never crash or read outside the file's
// data, and a bitmap that loads must hold every byte that painting it hands to the device.
#include "afx/little_endian.h"
#include "app/logo/logo_bitmap.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = [] {
        char tmpl[] = "/tmp/logo-fuzz-XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd < 0)
            std::abort();
        close(fd);
        return std::string(tmpl);
    }();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0)
        std::abort();

    CLogoBitmap logo;
    if (!logo.Load(path.c_str()))
        return 0;

    // What the device reads when the logo is painted: the info header, the colour table and the
    // pixel array, all inside the buffer (AddressSanitizer sees any byte beyond it).
    const unsigned char* info = logo.GetInfo();
    const unsigned char* bits = logo.GetBits();
    if (!info || !bits || info != logo.GetFileData())
        std::abort();
    if (logo.GetFileDataSize() + 14 != logo.GetFileHeader().bfSize)
        std::abort();
    const CSize dims = logo.GetSize();
    if (dims.cx <= 0 || dims.cy <= 0)
        std::abort();
    const unsigned bitCount = LoadLE16(info + 14);
    const uint32_t compression = LoadLE32(info + 16);
    uint64_t nPixelBytes = compression == 0 || compression == 3
                               ? (uint64_t(dims.cx) * bitCount + 31) / 32 * 4 * uint64_t(dims.cy)
                               : LoadLE32(info + 20);
    volatile unsigned sum = 0;
    for (uint64_t i = 0; i < nPixelBytes; ++i)
        sum = sum + bits[i];
    for (uint32_t i = 0; i < LoadLE32(info); ++i)
        sum = sum + info[i];

    // A colour table becomes a palette of the same entries.
    const int colors = logo.GetColorCount();
    const LogoPalette* palette = logo.GetLogPalette();
    if ((colors != 0) != (palette != nullptr))
        std::abort();
    if (palette) {
        if (palette->palNumEntries != colors || palette->palPalEntry.size() != size_t(colors))
            std::abort();
        const unsigned char* table = info + LoadLE32(info);
        for (int i = 0; i < colors; ++i)
            if (palette->palPalEntry[size_t(i)].peRed != table[4 * i + 2] ||
                palette->palPalEntry[size_t(i)].peBlue != table[4 * i])
                std::abort();
    }
    return 0;
}
