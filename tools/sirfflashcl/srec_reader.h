// Motorola S-record text (S0 to S3, S5, S6, S7 to S9) into the bytes to program. Every record's
// count and checksum is checked; one bad record rejects the whole file, before the receiver is
// touched.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ImageSegment {
    uint32_t address = 0;
    std::vector<uint8_t> data;
    uint32_t End() const { return address + uint32_t(data.size()); }  // one past the last byte
};

// The bytes an S-record file programs: contiguous runs of data, sorted by address, none
// touching another.
struct SRecordImage {
    std::vector<ImageSegment> segments;
    size_t TotalBytes() const;
};

// Parses the text. Data records may come in any address order and after a termination record
// (a database merged into a firmware image); the last record must be a termination record, so
// a cut-off file is refused. On failure returns false and a reason that names the line.
bool ParseSRecords(const std::string& text, SRecordImage& image, std::string& error);
