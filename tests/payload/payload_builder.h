// Writes payload files for tests through the payload writer's record functions, so that every
// field of the trailer can be set to what a test needs, valid or not.
#pragma once

#include "payload/payload_archive.h"
#include "payload/payload_writer.h"
#include "tests/support/files.h"

#include <zlib.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace test_support {

inline Bytes ToBytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

inline Bytes Deflate(const Bytes& data, int level = Z_DEFAULT_COMPRESSION)
{
    Bytes out;
    SfxDeflate(data.data(), data.size(), out, level);
    return out;
}

// Data that deflate cannot shrink much, so that an entry spans many 4096-byte input blocks.
inline Bytes NoisyData(size_t n, uint32_t state)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) {
        state = state * 1664525u + 1013904223u;
        out[i] = static_cast<unsigned char>(state >> 24);
    }
    return out;
}

constexpr int32_t kRealLength = INT32_MIN;

// One directory record as stored; every field may be set to anything.
struct Record {
    std::string name;                  // stored bytes (may hold a zero byte)
    int32_t nameLength = kRealLength;  // stored length field; kRealLength: the name's own length
    int32_t offset = 0;
    int32_t uncompressed = 0;
    int32_t compressed = 0;
};

class PayloadBuilder {
public:
    explicit PayloadBuilder(Bytes prefix = ToBytes("MZ bare program stand-in\n")) : m_file(std::move(prefix)) {}

    // Appends one entry's stream right after what is in the file now and records it.
    Record& AddEntry(const std::string& name, const Bytes& data)
    {
        Bytes z = Deflate(data);
        Record r;
        r.name = name;
        r.offset = int32_t(m_file.size());
        r.uncompressed = int32_t(data.size());
        r.compressed = int32_t(z.size());
        m_file.insert(m_file.end(), z.begin(), z.end());
        m_records.push_back(r);
        return m_records.back();
    }

    // Appends raw bytes (a hand-made stream) and returns their offset.
    int32_t AppendRaw(const Bytes& raw)
    {
        int32_t at = int32_t(m_file.size());
        m_file.insert(m_file.end(), raw.begin(), raw.end());
        return at;
    }

    Record& AddRecord(const Record& r)
    {
        m_records.push_back(r);
        return m_records.back();
    }

    std::vector<Record>& Records() { return m_records; }
    Bytes& Body() { return m_file; }

    // The whole file: body, records in index order, count (kRealLength: the number of records),
    // version, marker.
    Bytes Build(int32_t count = kRealLength,
                const std::string& version = std::string(SFX_VERSION, sizeof SFX_VERSION),
                const std::string& marker = std::string(SFX_MARKER, sizeof SFX_MARKER)) const
    {
        Bytes out = m_file;
        for (const Record& r : m_records)
            SfxAppendRecord(out, {uint32_t(r.offset), uint32_t(r.uncompressed), uint32_t(r.compressed), r.name,
                                  uint32_t(r.nameLength != kRealLength ? r.nameLength : int32_t(r.name.size()))});
        SfxAppendDirectoryEnd(out, uint32_t(count != kRealLength ? count : int32_t(m_records.size())), version, marker);
        return out;
    }

private:
    Bytes m_file;
    std::vector<Record> m_records;
};

}  // namespace test_support
