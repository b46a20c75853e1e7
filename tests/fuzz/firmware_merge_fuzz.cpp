// libFuzzer target: any firmware file and any database file. The merge either completes, giving
// the firmware without its final S7 record, the database and that record again, or leaves the
// firmware file byte for byte as it was: never a partly merged image.
#include "afx/little_endian.h"
#include "flash/firmware_choice.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

bool WriteAll(const std::string& path, const uint8_t* p, size_t n)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    return f && std::fwrite(p, 1, n, f) == n && std::fclose(f) == 0;
}

std::string ReadAll(const std::string& path)
{
    std::string s;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        std::abort();
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    std::fclose(f);
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string dir = [] {
        char tmpl[] = "/tmp/merge-fuzz-XXXXXX";
        if (!mkdtemp(tmpl))
            std::abort();
        return std::string(tmpl) + "/";
    }();
    // The first two bytes say where the firmware ends and the database begins.
    if (size < 2)
        return 0;
    const size_t nSplit = size_t(LoadLE16(data)) % (size - 1);
    const std::string firmware(reinterpret_cast<const char*>(data + 2), nSplit);
    const std::string database(reinterpret_cast<const char*>(data + 2 + nSplit), size - 2 - nSplit);
    const std::string fwPath = dir + "fw.s3", dbPath = dir + "database.db0";
    if (!WriteAll(fwPath, reinterpret_cast<const uint8_t*>(firmware.data()), firmware.size()) ||
        !WriteAll(dbPath, reinterpret_cast<const uint8_t*>(database.data()), database.size()))
        std::abort();

    static CPayloadArchive archive((dir + "no-release").c_str());
    int boxes = 0;
    CFirmwareChoice image(archive, dir.c_str(), [&](const char*) { ++boxes; });
    const bool bMerged = image.MergeDatabase(fwPath.c_str(), dbPath.c_str());

    const std::string s7(FIRMWARE_S7_TERMINATOR, 16);
    const bool bEndsInS7 = firmware.size() >= 16 && firmware.compare(firmware.size() - 16, 16, s7) == 0;
    const std::string after = ReadAll(fwPath);
    if (bMerged != bEndsInS7 || boxes != 0)
        std::abort();
    if (bMerged ? after != firmware.substr(0, firmware.size() - 16) + database + s7 : after != firmware)
        std::abort();
    return 0;
}
