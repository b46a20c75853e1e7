#include "payload/payload_writer.h"

#include "afx/little_endian.h"
#include "payload/payload_archive.h"

void SfxAppendRecord(SfxBytes& out, const SfxDirectoryRecord& record)
{
    AppendLE32(out, record.nOffset);
    AppendLE32(out, record.nUncompressedSize);
    AppendLE32(out, record.nCompressedSize);
    out.insert(out.end(), record.strName.begin(), record.strName.end());
    AppendLE32(out, record.nNameLength);
}

void SfxAppendDirectoryEnd(SfxBytes& out, uint32_t nCount)
{
    SfxAppendDirectoryEnd(out, nCount, std::string(SFX_VERSION, sizeof SFX_VERSION),
                          std::string(SFX_MARKER, sizeof SFX_MARKER));
}

void SfxAppendDirectoryEnd(SfxBytes& out, uint32_t nCount, const std::string& strVersion, const std::string& strMarker)
{
    AppendLE32(out, nCount);
    out.insert(out.end(), strVersion.begin(), strVersion.end());
    out.insert(out.end(), strMarker.begin(), strMarker.end());
}

bool SfxDeflate(const unsigned char* p, size_t n, SfxBytes& out, int nLevel)
{
    uLongf nPacked = compressBound(uLong(n));
    out.resize(nPacked);
    if (compress2(out.data(), &nPacked, p, uLong(n), nLevel) != Z_OK)
        return false;
    out.resize(nPacked);
    return true;
}

bool CPayloadWriter::AddEntry(const std::string& strName, const SfxBytes& data)
{
    SfxBytes packed;
    if (!SfxDeflate(data.data(), data.size(), packed))
        return false;
    m_records.push_back(
        {uint32_t(m_file.size()), uint32_t(data.size()), uint32_t(packed.size()), strName, uint32_t(strName.size())});
    m_file.insert(m_file.end(), packed.begin(), packed.end());
    return true;
}

SfxBytes CPayloadWriter::Finish() const
{
    SfxBytes out = m_file;
    for (const SfxDirectoryRecord& record : m_records)
        SfxAppendRecord(out, record);
    SfxAppendDirectoryEnd(out, uint32_t(m_records.size()));
    return out;
}
