// Releases signed after packing: the signer appends a certificate table (aligned to 8 bytes
// with zero bytes) behind the payload trailer and names it in the PE security directory. The
// reader must find the trailer in front of the table, and never trust a table that does not lie
// inside the file.
#include "afx/little_endian.h"
#include "payload/payload_archive.h"
#include "payload/pe_certificate.h"
#include "tests/payload/payload_builder.h"
#include "tests/support/scratch_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

namespace fs = std::filesystem;
using namespace test_support;

namespace {

const size_t kPeAt = 0x40;
const size_t kOptionalAt = kPeAt + 4 + 20;

void PutLE32At(Bytes& b, size_t at, uint32_t v)
{
    StoreLE32(b.data() + at, v);
}

void PutLE16At(Bytes& b, size_t at, uint16_t v)
{
    StoreLE16(b.data() + at, v);
}

// The headers of a PE program (PE32 or PE32+) with 16 data directories, all empty, padded to
// 512 bytes as a stand-in for the bare updater.
Bytes BareProgram(bool bPe32Plus = false)
{
    Bytes b(512, 0);
    b[0] = 'M';
    b[1] = 'Z';
    PutLE32At(b, 0x3C, kPeAt);
    b[kPeAt] = 'P';
    b[kPeAt + 1] = 'E';
    PutLE16At(b, kPeAt + 4 + 16, bPe32Plus ? 0xF0 : 0xE0);  // SizeOfOptionalHeader
    PutLE16At(b, kOptionalAt, bPe32Plus ? 0x20B : 0x10B);
    PutLE32At(b, kOptionalAt + (bPe32Plus ? 108 : 92), 16);  // NumberOfRvaAndSizes
    return b;
}

size_t SecurityEntryAt(const Bytes& file)
{
    bool bPlus = file[kOptionalAt] == 0x0B && file[kOptionalAt + 1] == 0x02;
    return kOptionalAt + (bPlus ? 112 : 96) + 8 * 4;
}

void SetSecurityEntry(Bytes& file, uint32_t nOffset, uint32_t nSize)
{
    PutLE32At(file, SecurityEntryAt(file), nOffset);
    PutLE32At(file, SecurityEntryAt(file) + 4, nSize);
}

// Signs as signers do: zero bytes up to the 8-byte boundary, then one WIN_CERTIFICATE record
// of nSize bytes, named in the security directory. Returns the padding used.
size_t Sign(Bytes& file, uint32_t nSize = 1472)
{
    size_t nPadding = (8 - file.size() % 8) % 8;
    file.insert(file.end(), nPadding, 0);
    const size_t nTable = file.size();
    file.resize(nTable + nSize, 0x5A);
    PutLE32At(file, nTable, nSize);
    PutLE16At(file, nTable + 4, 0x0200);  // revision
    PutLE16At(file, nTable + 6, 0x0002);  // PKCS#7 signed data
    SetSecurityEntry(file, uint32_t(nTable), nSize);
    return nPadding;
}

// A two-entry release on a stand-in program; the label's length moves the trailer's end.
Bytes Release(const std::string& label = "Firmware 1.40", bool bPe32Plus = false)
{
    PayloadBuilder b(BareProgram(bPe32Plus));
    b.AddEntry("fw.s", ToBytes("S0030000FC\r\nS70500000000FA\r\n"));
    b.AddEntry(label, Bytes());
    return b.Build();
}

// What an attacker appends inside the table of a signed file, whose bytes the signature's hash
// skips: a payload of three entries with its own trailer at the very end of the file, the
// table's sizes grown to match.
void ForgeInsideTable(Bytes& file)
{
    const uint32_t nTable = LoadLE32(file.data() + SecurityEntryAt(file));
    PayloadBuilder forged(file);
    forged.AddEntry("fw.s", ToBytes("S0030000FC\r\nS1 forged\r\n"));
    forged.AddEntry("x.s", ToBytes("forged"));
    forged.AddEntry("Forged", Bytes());
    file = forged.Build();
    SetSecurityEntry(file, nTable, uint32_t(file.size() - nTable));
    PutLE32At(file, nTable, uint32_t(file.size() - nTable));
}

// A release whose trailer ends on an 8-byte boundary, so that a signer adds no padding.
Bytes AlignedRelease()
{
    for (int n = 1;; ++n) {
        Bytes release = Release(std::string(size_t(n), 'L'));
        if (release.size() % 8 == 0)
            return release;
    }
}

class SignedReleaseTest : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const Bytes& data)
    {
        std::string path = (m_dir.Path() / name).string();
        EXPECT_TRUE(WriteFile(path, data));
        return path;
    }
    ScratchDir m_dir{"signed"};
};

TEST_F(SignedReleaseTest, TrailerIsFoundBeforeTheTableWhateverThePadding)
{
    bool seen[8] = {};
    for (bool bPlus : {false, true}) {
        for (int n = 1; n <= 8; ++n) {
            const std::string label(size_t(n), 'L');
            SCOPED_TRACE(label + (bPlus ? " PE32+" : " PE32"));
            const Bytes unsigned_ = Release(label, bPlus);
            Bytes signed_ = unsigned_;
            seen[Sign(signed_)] = true;

            CPayloadArchive plain(Write("plain.exe", unsigned_).c_str());
            CPayloadArchive archive(Write("signed.exe", signed_).c_str());
            ASSERT_EQ(SFX_OK, plain.ReadDirectory(plain.GetModulePath()));
            ASSERT_EQ(SFX_OK, archive.ReadDirectory(archive.GetModulePath()));
            ASSERT_EQ(2, archive.GetCount());
            for (int i = 0; i < 2; ++i) {
                EXPECT_EQ(plain.GetEntry(i).strName, archive.GetEntry(i).strName);
                EXPECT_EQ(plain.GetEntry(i).nOffset, archive.GetEntry(i).nOffset);
                EXPECT_EQ(plain.GetEntry(i).nCompressedSize, archive.GetEntry(i).nCompressedSize);
            }
            CFile file((m_dir.Path() / "signed.exe").string().c_str(), CFile::modeRead | CFile::shareDenyNone);
            EXPECT_EQ(int64_t(unsigned_.size()), SfxTrailerEnd(file));
        }
    }
    for (int p = 0; p < 8; ++p)
        EXPECT_TRUE(seen[p]) << "padding " << p << " never tried";
}

TEST_F(SignedReleaseTest, SignedReleaseExtractsLikeTheUnsignedOne)
{
    Bytes release = Release();
    Sign(release);
    CPayloadArchive archive(Write("signed.exe", release).c_str());
    fs::create_directories(m_dir.Path() / "out");
    ASSERT_EQ(SFX_OK, archive.ExtractAll((m_dir.Path() / "out").string().c_str(), nullptr, nullptr));
    Bytes fw;
    ASSERT_TRUE(ReadFile((m_dir.Path() / "out" / "fw.s").string(), fw));
    EXPECT_EQ(ToBytes("S0030000FC\r\nS70500000000FA\r\n"), fw);
}

TEST_F(SignedReleaseTest, ChangedSignatureBytesStillReadThePayload)
{
    // Damage inside the table breaks the signature, not the payload: the signer's tool says
    // so, the updater still works.
    Bytes release = Release();
    Sign(release);
    release[release.size() - 100] ^= 0xFF;
    CPayloadArchive archive(Write("signed.exe", release).c_str());
    EXPECT_EQ(SFX_OK, archive.ReadDirectory(archive.GetModulePath()));
}

struct BadSignature {
    const char* what;
    PeCertificateStatus status;  // what the security directory is taken for
    std::function<void(Bytes&)> damage;
    int result = SFX_ERR_FORMAT;
};

// Each row starts from a signed release; none may lead the reader outside the file, and none
// gives a payload but the genuine one, in front of the table.
const BadSignature kBadSignatures[] = {
    {"table offset past the end", PE_CERT_DAMAGED, [](Bytes& f) { SetSecurityEntry(f, uint32_t(f.size() + 8), 8); }},
    {"table size past the end", PE_CERT_DAMAGED,
     [](Bytes& f) { SetSecurityEntry(f, uint32_t(f.size() - 1472), 0xFFFFFFF0u); }},
    {"offset and size that wrap in 32 bits", PE_CERT_DAMAGED,
     [](Bytes& f) { SetSecurityEntry(f, 0xFFFFFFF8u, uint32_t(f.size() + 8)); }},
    {"table ending before the end of the file", PE_CERT_DAMAGED, [](Bytes& f) { f.push_back(0); }},
    {"table shorter than one record", PE_CERT_DAMAGED,
     [](Bytes& f) { SetSecurityEntry(f, uint32_t(f.size() - 4), 4); }},
    {"table over the headers", PE_CERT_DAMAGED, [](Bytes& f) { SetSecurityEntry(f, 0x10, uint32_t(f.size() - 0x10)); }},
    {"first record longer than the table", PE_CERT_DAMAGED, [](Bytes& f) { PutLE32At(f, f.size() - 1472, 1473); }},
    {"first record shorter than its header", PE_CERT_DAMAGED, [](Bytes& f) { PutLE32At(f, f.size() - 1472, 7); }},
    {"empty security directory", PE_CERT_NONE, [](Bytes& f) { SetSecurityEntry(f, 0, 0); }},
    {"no security directory among the data directories", PE_CERT_NONE,
     [](Bytes& f) { PutLE32At(f, kOptionalAt + 92, 4); }},
    {"optional header too short for it", PE_CERT_NONE, [](Bytes& f) { PutLE16At(f, kPeAt + 4 + 16, 0x60); }},
    {"PE signature missing", PE_CERT_NONE, [](Bytes& f) { f[kPeAt] = 'X'; }},
    {"PE header pointer past the end", PE_CERT_NONE, [](Bytes& f) { PutLE32At(f, 0x3C, 0xFFFFFFF0u); }},
    {"not a program", PE_CERT_NONE, [](Bytes& f) { f[0] = 'X'; }},
    {"unknown optional header", PE_CERT_NONE, [](Bytes& f) { PutLE16At(f, kOptionalAt, 0x107); }},
    {"a payload inside the table of a signed program that has none", PE_CERT_TABLE,
     [](Bytes& f) {
         f = BareProgram();
         Sign(f);
         ForgeInsideTable(f);
     }},
    {"an entry's stream running into the table", PE_CERT_TABLE,
     [](Bytes& f) {
         PayloadBuilder b(BareProgram());
         b.AddEntry("fw.s", ToBytes("S0")).compressed = 4096;
         b.AddEntry("label", Bytes());
         f = b.Build();
         Sign(f);
     }},
    {"a payload behind the table", PE_CERT_DAMAGED,
     [](Bytes& f) {
         PayloadBuilder b(f);
         b.AddEntry("fw.s", ToBytes("forged"));
         b.AddEntry("Forged", Bytes());
         f = b.Build();
     }},
    {"the genuine payload in front of a forged one inside the table", PE_CERT_TABLE, ForgeInsideTable, SFX_OK},
};

TEST_F(SignedReleaseTest, DamagedSecurityDirectoriesNeverReachOutsideTheFile)
{
    for (const BadSignature& row : kBadSignatures) {
        SCOPED_TRACE(row.what);
        Bytes release = Release();
        Sign(release);
        row.damage(release);
        CPayloadArchive archive(Write("bad.exe", release).c_str());
        EXPECT_EQ(row.result, archive.ReadDirectory(archive.GetModulePath()));
        EXPECT_EQ(row.result == SFX_OK ? 2 : 0, archive.GetCount());
        CFile file((m_dir.Path() / "bad.exe").string().c_str(), CFile::modeRead | CFile::shareDenyNone);
        EXPECT_EQ(row.status, PeReadCertificateTable(file).status);
    }
}

TEST_F(SignedReleaseTest, OnlyTheSignersPaddingIsSkipped)
{
    const struct {
        const char* what;
        size_t nExtraZeros;
        unsigned char filler;
    } rows[] = {
        {"eight zero bytes in front of the table", 8, 0},
        {"a byte other than zero in the padding", 1, 0x20},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Bytes release = AlignedRelease();
        release.insert(release.end(), row.nExtraZeros, row.filler);
        release.insert(release.end(), (8 - release.size() % 8) % 8, row.filler);
        Sign(release);
        CPayloadArchive archive(Write("padded.exe", release).c_str());
        EXPECT_EQ(SFX_ERR_FORMAT, archive.ReadDirectory(archive.GetModulePath()));
    }

    // A table the signer did not align is not one it made: here it follows the trailer at once,
    // one byte past an 8-byte boundary.
    Bytes release = AlignedRelease();
    release = Release(std::string(release.size() - Release("").size() + 1, 'L'));
    ASSERT_NE(0u, release.size() % 8);
    const uint32_t nTable = uint32_t(release.size());
    release.resize(nTable + 16, 0);
    PutLE32At(release, nTable, 16);
    SetSecurityEntry(release, nTable, 16);
    CPayloadArchive archive(Write("unaligned.exe", release).c_str());
    EXPECT_EQ(SFX_ERR_FORMAT, archive.ReadDirectory(archive.GetModulePath()));
}

TEST_F(SignedReleaseTest, UnsignedReleasesAndBareProgramsReadAsBefore)
{
    Bytes release = Release();
    CFile file(Write("plain.exe", release).c_str(), CFile::modeRead | CFile::shareDenyNone);
    EXPECT_EQ(PE_CERT_NONE, PeReadCertificateTable(file).status);
    EXPECT_EQ(int64_t(release.size()), SfxTrailerEnd(file));

    Bytes bare = BareProgram();
    Sign(bare);
    const std::string signedPath = Write("signed-bare.exe", bare);
    CFile signedBare(signedPath.c_str(), CFile::modeRead | CFile::shareDenyNone);
    PeCertificateTable table = PeReadCertificateTable(signedBare);
    EXPECT_EQ(PE_CERT_TABLE, table.status);
    EXPECT_EQ(512, table.nOffset);
    EXPECT_EQ(1472, table.nSize);
    CPayloadArchive archive(signedPath.c_str());
    EXPECT_EQ(SFX_ERR_FORMAT, archive.ReadDirectory(archive.GetModulePath()));
}

}  // namespace
