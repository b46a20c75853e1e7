// libFuzzer target: any file as a release. Reading the directory, extracting and deleting must
// never crash, read or write out of bounds, or write outside the extraction directory.
#include "payload/payload_archive.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>

namespace {

struct Workspace {
    std::string root, release, out;
    Workspace()
    {
        char tmpl[] = "/tmp/payload-fuzz-XXXXXX";
        if (!mkdtemp(tmpl))
            std::abort();
        root = tmpl;
        release = root + "/release.exe";
        out = root + "/out/";
        if (mkdir(out.c_str(), 0700) != 0)
            std::abort();
    }
};

int CountEntries(const std::string& dir)
{
    DIR* d = opendir(dir.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        n += std::string(e->d_name) != "." && std::string(e->d_name) != "..";
    closedir(d);
    return n;
}

void Count(int, void*, void* user)
{
    ++*static_cast<int*>(user);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Workspace ws;
    FILE* f = std::fopen(ws.release.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0)
        std::abort();

    CPayloadArchive archive(ws.release.c_str());
    int r = archive.ReadDirectory(archive.GetModulePath());
    if (r != SFX_OK && archive.GetCount() != 0)
        std::abort();  // a failed read must leave an empty table
    for (int i = -1; i <= archive.GetCount(); ++i)
        (void)archive.GetEntry(i);

    int events = 0;
    r = archive.ExtractAll(ws.out.c_str(), Count, &events);
    (void)archive.ExtractEntry(archive.GetCount() - 2, ws.out.c_str());
    archive.DeleteExtracted(ws.out.c_str());
    // Only the extraction directory and the release are ever written,
    if (CountEntries(ws.root) != 2)
        std::abort();
    // and DeleteExtracted removes everything that extraction wrote.
    if (CountEntries(ws.out) != 0)
        std::abort();
    return 0;
}
