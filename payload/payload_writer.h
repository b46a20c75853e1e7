// Writes the payload format that payload_archive.h reads: the program, one zlib stream per
// entry, then the directory trailer. The release packer writes releases with it; tests write
// well-formed and damaged payloads with the same functions.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using SfxBytes = std::vector<unsigned char>;

// One directory record, written as given: a well-formed record's name length is the length of
// its name and its offset and sizes describe its stream.
struct SfxDirectoryRecord {
    uint32_t nOffset = 0;
    uint32_t nUncompressedSize = 0;
    uint32_t nCompressedSize = 0;
    std::string strName;  // the stored bytes
    uint32_t nNameLength = 0;
};

// Appends one record: offset, uncompressed size, compressed size, name, name length.
void SfxAppendRecord(SfxBytes& out, const SfxDirectoryRecord& record);
// Appends the end of the directory: the count, the version and the marker.
void SfxAppendDirectoryEnd(SfxBytes& out, uint32_t nCount);
// The same with other version and marker bytes, for payloads that must not be read.
void SfxAppendDirectoryEnd(SfxBytes& out, uint32_t nCount, const std::string& strVersion, const std::string& strMarker);
// The zlib stream that stores n bytes at p; false when zlib fails (no memory).
bool SfxDeflate(const unsigned char* p, size_t n, SfxBytes& out, int nLevel = Z_DEFAULT_COMPRESSION);

// A release built in memory: the program, then each entry's stream in the order added, then
// the directory.
class CPayloadWriter {
public:
    explicit CPayloadWriter(SfxBytes program) : m_file(std::move(program)) {}

    // Appends data as the next entry's stream; false when it cannot be compressed.
    bool AddEntry(const std::string& strName, const SfxBytes& data);
    // Bytes so far, the directory not counted.
    size_t Size() const { return m_file.size(); }
    // The whole release: everything added, then the directory.
    SfxBytes Finish() const;

private:
    SfxBytes m_file;
    std::vector<SfxDirectoryRecord> m_records;
};
