// A SiRF receiver's normal (navigation) mode on the line: NMEA sentences and SiRF binary frames.
//
//   NMEA:   $<body>*CK\r\n          CK: XOR of the body's characters, two upper-case hex digits
//   binary: A0 A2 | length (2, BE, 15 bits) | payload (MID first) | sum of payload & 0x7FFF (2, BE) | B0 B3
//
// Both readers take any bytes in any pieces: noise, a speed that differs, torn sentences. They
// only ever hand out whole, intact sentences and frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sirf {

// Message ids of the binary protocol that we use.
enum Mid : uint8_t {
    MID_NAVIGATION = 2,     // measured navigation data, sent once a second
    MID_VERSION = 6,        // the software version string
    MID_THROUGHPUT = 9,     // CPU throughput, sent once a second
    MID_SWITCH_NMEA = 129,  // back to NMEA: mode, ten (rate, checksum) pairs, bit/s (2)
    MID_POLL_VERSION = 132,
    MID_SET_SERIAL = 134,  // binary serial port: bit/s (4), 8, 1, 0, 0
    MID_BOOT = 148,        // enter the internal boot mode
};
constexpr size_t kMaxBinaryPayload = 1023;  // longer claims are noise
constexpr size_t kMaxSentence = 120;        // longer lines are noise (NMEA allows 82)

// One binary frame around payload (1..kMaxBinaryPayload bytes).
std::vector<uint8_t> EncodeBinary(const std::vector<uint8_t>& payload);
// "$body*CK\r\n".
std::string EncodeSentence(const std::string& body);

class BinaryReader {
public:
    void Feed(const uint8_t* p, size_t n);
    // The next intact frame's payload; false when there is none yet.
    bool Next(std::vector<uint8_t>& payload);
    void Reset() { m_buf.clear(); }

private:
    std::vector<uint8_t> m_buf;
};

class NmeaReader {
public:
    void Feed(const uint8_t* p, size_t n);
    // The next sentence whose checksum is right, without '$', '*CK' and line end (for
    // "$GPGGA,...*5E": "GPGGA,..."); false when there is none yet.
    bool Next(std::string& body);
    void Reset();

private:
    std::vector<std::string> m_ready;
    size_t m_taken = 0;
    std::string m_line;
    bool m_inSentence = false;
};

// The fields of a sentence body split at commas ("PSRF100,0,4800" -> PSRF100, 0, 4800).
std::vector<std::string> SplitFields(const std::string& body);

// The chip family a version string names, from a list of (prefix, family) pairs. A prefix
// matches where it begins a token of the string: at its start or after a character that is
// neither a letter nor a digit, so that a family token after a numeric build counts
// ("2.3.2-GSW2-..."). The longest prefix that matches wins, on a tie the first listed; empty
// when none does.
struct VersionPrefix {
    std::string prefix, family;
};
std::string FamilyOfVersion(const std::string& version, const std::vector<VersionPrefix>& prefixes);

// The version string of a MID 6 payload: SiRFstarII/III form (the string, padded with NULs or a
// blank) or the SiRFstarIV form (two lengths, two strings: the first is taken). Empty when the
// payload is no MID 6.
std::string VersionOfMid6(const std::vector<uint8_t>& payload);

}  // namespace sirf
