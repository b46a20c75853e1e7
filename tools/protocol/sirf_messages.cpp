#include "tools/protocol/sirf_messages.h"

#include "tools/protocol/hex_digit.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace sirf {

namespace {
uint16_t Checksum(const uint8_t* p, size_t n)
{
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += p[i];
    return uint16_t(sum & 0x7FFF);
}

uint8_t NmeaChecksum(const std::string& body)
{
    uint8_t ck = 0;
    for (char c : body)
        ck ^= uint8_t(c);
    return ck;
}

// Receivers send the checksum in upper case; anything else is noise.
int UpperHexDigit(char c)
{
    return c >= 'a' && c <= 'f' ? -1 : HexDigit(c);
}
}  // namespace

std::vector<uint8_t> EncodeBinary(const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> out(payload.size() + 8);
    out[0] = 0xA0;
    out[1] = 0xA2;
    out[2] = uint8_t(payload.size() >> 8);
    out[3] = uint8_t(payload.size());
    std::copy(payload.begin(), payload.end(), out.begin() + 4);
    out.resize(payload.size() + 4);
    const uint16_t ck = Checksum(payload.data(), payload.size());
    out.push_back(uint8_t(ck >> 8));
    out.push_back(uint8_t(ck));
    out.push_back(0xB0);
    out.push_back(0xB3);
    return out;
}

std::string EncodeSentence(const std::string& body)
{
    char ck[8];
    std::snprintf(ck, sizeof ck, "*%02X\r\n", unsigned(NmeaChecksum(body)));
    return "$" + body + ck;
}

void BinaryReader::Feed(const uint8_t* p, size_t n)
{
    m_buf.insert(m_buf.end(), p, p + n);
}

bool BinaryReader::Next(std::vector<uint8_t>& payload)
{
    size_t pos = 0;
    bool found = false;
    for (;;) {
        while (pos + 1 < m_buf.size() && !(m_buf[pos] == 0xA0 && m_buf[pos + 1] == 0xA2))
            ++pos;
        if (m_buf.size() - pos < 4)
            break;
        const size_t len = size_t(m_buf[pos + 2]) << 8 | m_buf[pos + 3];
        if (len == 0 || len > kMaxBinaryPayload) {
            ++pos;  // a start marker inside noise
            continue;
        }
        if (m_buf.size() - pos < len + 8)
            break;  // not complete yet
        const uint8_t* body = m_buf.data() + pos + 4;
        const uint8_t* tail = body + len;
        if (tail[2] == 0xB0 && tail[3] == 0xB3 && (size_t(tail[0]) << 8 | tail[1]) == Checksum(body, len)) {
            payload.assign(body, tail);
            pos += len + 8;
            found = true;
            break;
        }
        ++pos;  // damaged: look for the next start from the byte after this one
    }
    // Keep only what may still begin a frame.
    if (!found && pos + 1 == m_buf.size() && m_buf[pos] != 0xA0)
        ++pos;
    m_buf.erase(m_buf.begin(), m_buf.begin() + long(pos));
    return found;
}

void NmeaReader::Reset()
{
    m_ready.clear();
    m_taken = 0;
    m_line.clear();
    m_inSentence = false;
}

void NmeaReader::Feed(const uint8_t* p, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        const char c = char(p[i]);
        if (c == '$') {
            m_line.clear();
            m_inSentence = true;
        } else if (!m_inSentence) {
            continue;
        } else if (c == '\r' || c == '\n') {
            m_inSentence = false;
            const size_t star = m_line.size() >= 3 ? m_line.size() - 3 : std::string::npos;
            if (star == std::string::npos || m_line[star] != '*')
                continue;
            const int hi = UpperHexDigit(m_line[star + 1]), lo = UpperHexDigit(m_line[star + 2]);
            const std::string body = m_line.substr(0, star);
            if (hi >= 0 && lo >= 0 && NmeaChecksum(body) == uint8_t(hi << 4 | lo) && !body.empty())
                m_ready.push_back(body);
        } else if (p[i] < 0x20 || p[i] > 0x7E || m_line.size() >= kMaxSentence) {
            m_inSentence = false;  // not text: the sentence was torn or the speed is wrong
        } else {
            m_line += c;
        }
    }
}

bool NmeaReader::Next(std::string& body)
{
    if (m_taken == m_ready.size()) {
        m_ready.clear();
        m_taken = 0;
        return false;
    }
    body = m_ready[m_taken++];
    return true;
}

std::vector<std::string> SplitFields(const std::string& body)
{
    std::vector<std::string> fields(1);
    for (char c : body) {
        if (c == ',')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

namespace {
// Whether prefix begins a token of version: at its start, or after a character that is neither
// a letter nor a digit ("2.3.2-GSW2-..." holds GSW2; "XGSW2" does not).
bool BeginsAToken(const std::string& version, const std::string& prefix)
{
    for (size_t at = version.find(prefix); at != std::string::npos; at = version.find(prefix, at + 1)) {
        if (at == 0 || !std::isalnum(static_cast<unsigned char>(version[at - 1])))
            return true;
    }
    return false;
}
}  // namespace

std::string FamilyOfVersion(const std::string& version, const std::vector<VersionPrefix>& prefixes)
{
    const VersionPrefix* best = nullptr;
    for (const VersionPrefix& p : prefixes) {
        if (!p.prefix.empty() && BeginsAToken(version, p.prefix) && (!best || p.prefix.size() > best->prefix.size()))
            best = &p;
    }
    return best ? best->family : std::string();
}

std::string VersionOfMid6(const std::vector<uint8_t>& payload)
{
    if (payload.size() < 2 || payload[0] != MID_VERSION)
        return std::string();
    size_t from = 1, len = payload.size() - 1;
    // SiRFstarIV: two length bytes that together with the strings fill the payload.
    if (payload.size() >= 3 && payload[1] < 0x20 && payload[1] > 0 &&
        size_t(payload[1]) + payload[2] + 3 <= payload.size()) {
        from = 3;
        len = payload[1];
    }
    std::string s(reinterpret_cast<const char*>(payload.data() + from), len);
    const size_t end = s.find('\0');
    if (end != std::string::npos)
        s.resize(end);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

}  // namespace sirf
