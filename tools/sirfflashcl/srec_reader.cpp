#include "tools/sirfflashcl/srec_reader.h"

#include "tools/protocol/hex_digit.h"

#include <algorithm>
#include <cstdio>

size_t SRecordImage::TotalBytes() const
{
    size_t n = 0;
    for (const ImageSegment& s : segments)
        n += s.data.size();
    return n;
}

namespace {

struct DataRecord {
    uint32_t address;
    size_t line;
    std::vector<uint8_t> bytes;
};

std::string LineError(size_t line, const char* what)
{
    return "line " + std::to_string(line) + ": " + what;
}

// Address field length of each record type; 0 for the reserved S4.
const int kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

// The bytes that the hex digit pairs after the record type spell; false at a character that is
// not a hex digit.
bool DecodeHexPairs(const std::string& line, std::vector<uint8_t>& bytes)
{
    bytes.reserve((line.size() - 2) / 2);
    for (size_t i = 2; i < line.size(); i += 2) {
        const int hi = HexDigit(line[i]), lo = HexDigit(line[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes.push_back(uint8_t(hi * 16 + lo));
    }
    return true;
}

// One record, its blanks and line end already removed. Returns its type (0 to 9), and for data
// records with data appends them to records; -1 with a reason on a bad record.
int ParseSRecordLine(const std::string& line, size_t lineNo, std::vector<DataRecord>& records, std::string& error)
{
    if (line.size() < 4 || line[0] != 'S' || line[1] < '0' || line[1] > '9') {
        error = LineError(lineNo, "not an S-record");
        return -1;
    }
    const int type = line[1] - '0';
    if (kAddressBytes[type] == 0) {
        error = LineError(lineNo, "record type S4 is not used");
        return -1;
    }
    if ((line.size() - 2) % 2 != 0) {
        error = LineError(lineNo, "odd number of hex digits");
        return -1;
    }
    std::vector<uint8_t> bytes;
    if (!DecodeHexPairs(line, bytes)) {
        error = LineError(lineNo, "character that is not a hex digit");
        return -1;
    }
    const size_t count = bytes[0];
    if (count != bytes.size() - 1) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "byte count says %zu bytes, the record holds %zu", count, bytes.size() - 1);
        error = LineError(lineNo, buf);
        return -1;
    }
    const int addrBytes = kAddressBytes[type];
    if (count < size_t(addrBytes) + 1) {
        error = LineError(lineNo, "record too short for its address");
        return -1;
    }
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i)
        sum += bytes[i];
    const uint8_t expected = uint8_t(~sum & 0xFF);
    if (bytes.back() != expected) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "checksum is %02X, the record's bytes give %02X", bytes.back(), expected);
        error = LineError(lineNo, buf);
        return -1;
    }
    uint32_t address = 0;
    for (int i = 0; i < addrBytes; ++i)
        address = (address << 8) | bytes[1 + size_t(i)];
    const size_t dataLen = count - size_t(addrBytes) - 1;
    const uint8_t* data = bytes.data() + 1 + addrBytes;

    if (type >= 1 && type <= 3) {
        if (uint64_t(address) + dataLen > 0x100000000ull) {
            error = LineError(lineNo, "data runs past the 4 GiB address space");
            return -1;
        }
        if (dataLen > 0)
            records.push_back({address, lineNo, std::vector<uint8_t>(data, data + dataLen)});
    } else if (type >= 5 && dataLen != 0) {
        error = LineError(lineNo, "count or termination record carries data");
        return -1;
    }
    return type;
}

// Sorts the records by address and joins them into runs; false with a reason when two records
// give different bytes for one address.
bool MergeDataRecords(std::vector<DataRecord>& records, SRecordImage& image, std::string& error)
{
    std::stable_sort(records.begin(), records.end(),
                     [](const DataRecord& a, const DataRecord& b) { return a.address < b.address; });
    for (const DataRecord& r : records) {
        const uint64_t segEnd =
            image.segments.empty() ? 0 : image.segments.back().address + uint64_t(image.segments.back().data.size());
        if (!image.segments.empty() && r.address <= segEnd) {
            ImageSegment& seg = image.segments.back();
            // Overlap is accepted only where the bytes agree.
            const size_t overlap = size_t(std::min<uint64_t>(segEnd - r.address, r.bytes.size()));
            const size_t at = r.address - seg.address;
            if (!std::equal(r.bytes.begin(), r.bytes.begin() + long(overlap), seg.data.begin() + long(at))) {
                char buf[128];
                std::snprintf(buf, sizeof buf, "data at 0x%08X overlaps earlier data with different bytes",
                              unsigned(r.address));
                error = LineError(r.line, buf);
                image.segments.clear();
                return false;
            }
            seg.data.insert(seg.data.end(), r.bytes.begin() + long(overlap), r.bytes.end());
        } else {
            image.segments.push_back({r.address, r.bytes});
        }
    }
    return true;
}

}  // namespace

bool ParseSRecords(const std::string& text, SRecordImage& image, std::string& error)
{
    image.segments.clear();
    std::vector<DataRecord> records;
    size_t lineNo = 0;
    int lastType = -1;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        if (line.empty())
            continue;
        lastType = ParseSRecordLine(line, lineNo, records, error);
        if (lastType < 0)
            return false;
    }
    if (records.empty()) {
        error = "no data records";
        return false;
    }
    if (lastType < 7) {
        error = "the file does not end with a termination record (S7, S8 or S9): it may be cut off";
        return false;
    }
    return MergeDataRecords(records, image, error);
}
