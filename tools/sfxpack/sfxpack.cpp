// sfxpack: appends a payload to the bare updater program, and lists or extracts the payload
// of a release. Reading goes through CPayloadArchive, so that what this tool accepts is
// exactly what the updater accepts.
#include "payload/payload_archive.h"
#include "payload/payload_writer.h"
#include "payload/pe_certificate.h"
#include "payload/windows_file_name.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <new>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage: sfxpack pack --exe BARE --out RELEASE [--label TEXT] ENTRY...\n"
    "       sfxpack list RELEASE\n"
    "       sfxpack extract RELEASE DIR\n"
    "\n"
    "pack     writes RELEASE: the program BARE followed by one zlib stream per ENTRY and the\n"
    "         payload directory. ENTRY is PATH (stored under its base name) or NAME=PATH.\n"
    "         Entries keep the order given; --label adds a last, empty entry named TEXT,\n"
    "         which the updater shows as its update information. Entry names must be\n"
    "         Windows file names of at most 100 bytes (no device name such as NUL or\n"
    "         COM3, none of < > : \" / \\ | ? *, no trailing dot or blank, nothing like\n"
    "         a short name such as FILE~1.EXE, only bytes below 0x80), distinct\n"
    "         without regard to case; the label is free text.\n"
    "list     prints INDEX, OFFSET, UNCOMPRESSED, COMPRESSED and NAME of each entry,\n"
    "         separated by tabs, one entry per line; in names, control bytes, DEL and\n"
    "         the backslash are printed as \\xNN.\n"
    "extract  writes every entry of RELEASE but the label into DIR (created when missing).\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 usage error.\n";

struct Failure {
    std::string path;
    std::string what;
    int code = SFX_OK;
};

int Usage()
{
    std::fputs(kUsage, stderr);
    return 2;
}

int Fail(const Failure& f)
{
    std::fprintf(stderr, "sfxpack: %s: %s (%s)\n", f.path.c_str(), f.what.c_str(), SfxResultName(f.code));
    return 1;
}

// Through CFile, which refuses a folder or a device where a file is expected.
bool ReadWholeFile(const std::string& path, std::vector<unsigned char>& data)
{
    CFile in;
    if (!in.Open(path.c_str(), CFile::modeRead | CFile::shareDenyWrite))
        return false;
    try {
        const uint64_t length = in.GetLength();
        if (length > 0x7FFF0000u)
            return false;  // no release may pass 2 GiB
        data.resize(size_t(length));
        return data.empty() || in.Read(data.data(), unsigned(data.size())) == data.size();
    } catch (const CFileException&) {
        return false;
    }
}

std::string BaseName(const std::string& path)
{
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// The updater unpacks into the Windows temporary directory: with a name of at most this many
// bytes the whole path stays within Windows' 260-character limit.
constexpr size_t kMaxFileNameBytes = 100;

// A signature covers the file as it was signed: appending a payload would break it.
bool IsSigned(const std::string& path)
{
    CFile file;
    try {
        return file.Open(path.c_str(), CFile::modeRead | CFile::shareDenyNone) &&
               PeReadCertificateTable(file).status != PE_CERT_NONE;
    } catch (const CFileException&) {
        return false;
    }
}

struct PackEntry {
    std::string name;
    std::string path;  // empty for the label
};

// Why the updater could not write this entry as a file of its own; empty when it can.
std::string NameProblem(const PackEntry& e, std::set<std::string>& seen)
{
    if (e.path.empty()) {
        if (e.name.empty())
            return "empty label";
        return e.name.size() > size_t(SFX_MAX_NAME) ? "label longer than 1000 bytes" : "";
    }
    if (const char* pszWhy = WindowsFileNameProblem(e.name.data(), e.name.size()))
        return std::string("not a valid entry name: ") + pszWhy;
    // Such bytes are letters only in some code page, and the user's is not known here.
    for (unsigned char c : e.name)
        if (c >= 0x80)
            return "not a valid entry name: holds a byte of 0x80 or above, whose letter depends on the "
                   "user's code page";
    if (e.name.size() > kMaxFileNameBytes)
        return "not a valid entry name: longer than 100 bytes, too long for the temporary directory";
    if (!seen.insert(WindowsFileNameKey(e.name.data(), e.name.size())).second)
        return "entry name given twice (Windows takes it for the same file)";
    return "";
}

// A name as list prints it: control bytes, DEL and the backslash as \xNN, so that a name can
// neither break its tab-separated line nor send escape sequences to a terminal.
std::string Printable(const CString& strName)
{
    std::string s;
    for (int i = 0; i < strName.GetLength(); ++i) {
        const unsigned char c = static_cast<unsigned char>(strName[i]);
        if (c < 0x20 || c == 0x7F || c == '\\') {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            s += buf;
        } else {
            s += char(c);
        }
    }
    return s;
}

// Everything the updater would refuse, before anything is read.
bool CheckEntries(const std::string& release, const std::vector<PackEntry>& entries, Failure& failure)
{
    if (entries.empty()) {
        failure = {release, "nothing to pack", SFX_ERR_EMPTY};
        return false;
    }
    if (entries.size() > size_t(SFX_MAX_ENTRIES)) {
        failure = {release, "more than 256 entries", SFX_ERR_FORMAT};
        return false;
    }
    std::set<std::string> seen;
    for (const PackEntry& e : entries) {
        // The updater extracts every entry but the label under its name into one directory.
        std::string why = NameProblem(e, seen);
        if (!why.empty()) {
            failure = {Printable(e.name.c_str()), why, SFX_ERR_FORMAT};
            return false;
        }
    }
    return true;
}

// The release in memory: the bare program, then the payload.
bool BuildRelease(const std::string& bare,
                  const std::string& release,
                  const std::vector<PackEntry>& entries,
                  SfxBytes& out,
                  Failure& failure)
{
    SfxBytes program;
    if (!ReadWholeFile(bare, program)) {
        failure = {bare, "cannot read the bare program", SFX_ERR_OPEN};
        return false;
    }
    if (IsSigned(bare)) {
        failure = {bare, "is signed; pack the unsigned program, then sign the release", SFX_ERR_FORMAT};
        return false;
    }
    if (program.size() >= sizeof SFX_MARKER &&
        std::memcmp(program.data() + program.size() - sizeof SFX_MARKER, SFX_MARKER, sizeof SFX_MARKER) == 0) {
        failure = {bare, "already carries a payload", SFX_ERR_FORMAT};
        return false;
    }
    CPayloadWriter writer(std::move(program));
    for (const PackEntry& e : entries) {
        SfxBytes data;
        if (!e.path.empty() && !ReadWholeFile(e.path, data)) {
            failure = {e.path, "cannot read the entry", SFX_ERR_OPEN};
            return false;
        }
        if (!writer.AddEntry(e.name, data)) {
            failure = {e.path, "cannot compress the entry", SFX_ERR_COMPRESS};
            return false;
        }
        if (writer.Size() > 0x7FFF0000u) {
            failure = {release, "release larger than 2 GiB", SFX_ERR_TOO_LARGE};
            return false;
        }
    }
    out = writer.Finish();
    return true;
}

// Writes beside the target under a new name of this run's own and renames it into place, so
// that a failed pack never leaves a half-written release under the release's name, and a run
// that reports success wrote the release that is there, whatever other runs do at once.
bool WriteRelease(const std::string& release, const SfxBytes& data)
{
    CFile out;
    if (!out.OpenNewTemporary((release + ".").c_str(), ".partial"))
        return false;
    const CString temp = out.GetFilePath();
    try {
        out.Write(data.data(), unsigned(data.size()));
        out.Close();
        if (CFile::Rename(temp, release.c_str()))
            return true;
    } catch (const CFileException&) {
        out.Abort();
    }
    CFile::Remove(temp);
    return false;
}

int Pack(const std::string& bare, const std::string& release, const std::vector<PackEntry>& entries)
{
    Failure failure;
    SfxBytes out;
    if (!CheckEntries(release, entries, failure) || !BuildRelease(bare, release, entries, out, failure))
        return Fail(failure);
    if (!WriteRelease(release, out))
        return Fail({release, "cannot write the release", SFX_ERR_WRITE});
    return 0;
}

std::string DescribeReadFailure(int code)
{
    switch (code) {
        case SFX_ERR_OPEN:
            return "cannot open";
        case SFX_ERR_FORMAT:
            return "no payload found";
        case SFX_ERR_EMPTY:
            return "the payload holds no entries";
        case SFX_ERR_REOPEN:
            return "cannot open again for extraction";
        case SFX_ERR_EXTRACT:
            return "an entry could not be extracted whole";
        default:
            return "cannot read the payload";
    }
}

int List(const std::string& release)
{
    CPayloadArchive archive(release.c_str());
    int r = archive.ReadDirectory(archive.GetModulePath());
    if (r != SFX_OK)
        return Fail({release, DescribeReadFailure(r), r});
    for (int i = 0; i < archive.GetCount(); ++i) {
        PayloadEntry e = archive.GetEntry(i);
        std::printf("%d\t%d\t%d\t%d\t%s\n", i, e.nOffset, e.nUncompressedSize, e.nCompressedSize,
                    Printable(e.strName).c_str());
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int Extract(const std::string& release, const std::string& dir)
{
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec)
        return Fail({dir, "cannot create the directory", SFX_ERR_EXTRACT});
    CPayloadArchive archive(release.c_str());
    int r = archive.ExtractAll(dir.c_str(), nullptr, nullptr);
    if (r != SFX_OK)
        return Fail({release, DescribeReadFailure(r), r});
    return 0;
}

}  // namespace

static int Run(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return Usage();
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const std::string verb = args[0];
    if (verb == "list")
        return args.size() == 2 ? List(args[1]) : Usage();
    if (verb == "extract")
        return args.size() == 3 ? Extract(args[1], args[2]) : Usage();
    if (verb != "pack")
        return Usage();

    std::string bare, release;
    std::vector<PackEntry> entries;
    bool haveLabel = false;
    std::string label;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--exe" || a == "--out" || a == "--label") {
            if (i + 1 >= args.size())
                return Usage();
            const std::string& v = args[++i];
            if (a == "--exe")
                bare = v;
            else if (a == "--out")
                release = v;
            else {
                haveLabel = true;
                label = v;
            }
            continue;
        }
        if (a.size() > 1 && a[0] == '-')
            return Usage();
        size_t eq = a.find('=');
        if (eq != std::string::npos && eq > 0)
            entries.push_back({a.substr(0, eq), a.substr(eq + 1)});
        else
            entries.push_back({BaseName(a), a});
        if (entries.back().path.empty())
            return Usage();
    }
    if (bare.empty() || release.empty() || (entries.empty() && !haveLabel))
        return Usage();
    if (haveLabel)
        entries.push_back({label, std::string()});
    return Pack(bare, release, entries);
}

// Whatever fails (memory for a huge entry) ends as one line and exit status 1, never an abort.
int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("sfxpack: out of memory\n", stderr);
    } catch (...) {
        std::fputs("sfxpack: failed unexpectedly\n", stderr);
    }
    return 1;
}
