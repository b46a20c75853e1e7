#include "gpsdevsim/receiver.h"

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <cstring>

namespace gpsdevsim {

namespace {

bool IsReceiverSpeed(uint32_t baud)
{
    static const uint32_t kSpeeds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    for (uint32_t s : kSpeeds) {
        if (s == baud)
            return true;
    }
    return false;
}

uint32_t ToNumber(const std::string& s)
{
    uint32_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9' || v > 100000000)
            return 0;
        v = v * 10 + uint32_t(c - '0');
    }
    return v;
}

void Append32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(uint8_t(v >> shift));
}

// Calendar date of a day count since 1970 (civil calendar, proleptic Gregorian).
void CivilDate(int64_t days, int& y, int& m, int& d)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = int(doy - (153 * mp + 2) / 5 + 1);
    m = int(mp < 10 ? mp + 3 : mp - 9);
    y = int(yoe + era * 400 + (m <= 2));
}

// A fixed position (Madrid) with eight satellites in view.
const char kLatLon[] = "4025.0000,N,00342.0000,W";
const int32_t kEcef[3] = {4849202, -360328, 4114913};
const uint8_t kSatellites[8] = {2, 5, 9, 12, 15, 18, 21, 26};
constexpr int64_t kGpsEpoch = 315964800;  // 1980-01-06 in Unix time
constexpr int64_t kLeapSeconds = 18;

std::string Sentence(int type, int64_t utc)
{
    char buf[160];
    const int64_t sod = ((utc % 86400) + 86400) % 86400;
    int y = 0, m = 0, d = 0;
    CivilDate((utc - sod) / 86400, y, m, d);
    char hms[16];
    std::snprintf(hms, sizeof hms, "%02d%02d%02d.000", int(sod / 3600), int(sod / 60 % 60), int(sod % 60));
    switch (type) {
        case 0:
            std::snprintf(buf, sizeof buf, "GPGGA,%s,%s,1,08,1.0,650.0,M,51.0,M,,0000", hms, kLatLon);
            break;
        case 1:
            std::snprintf(buf, sizeof buf, "GPGLL,%s,%s,A", kLatLon, hms);
            break;
        case 2:
            std::snprintf(buf, sizeof buf, "GPGSA,A,3,02,05,09,12,15,18,21,26,,,,,1.8,1.0,1.5");
            break;
        case 3:
            return "GPGSV,2,1,08,02,65,045,42,05,40,120,40,09,30,200,38,12,55,300,41\r\n"
                   "GPGSV,2,2,08,15,20,080,35,18,10,160,33,21,45,250,39,26,70,010,44";
        case 4:
            std::snprintf(buf, sizeof buf, "GPRMC,%s,A,%s,0.00,0.00,%02d%02d%02d,,,A", hms, kLatLon, d, m, y % 100);
            break;
        default:
            std::snprintf(buf, sizeof buf, "GPVTG,0.00,T,,M,0.00,N,0.00,K,A");
            break;
    }
    return buf;
}

// Sentences whose bodies are separated by CR LF (GSV comes in two) into out.
void AppendSentences(const std::string& bodies, std::vector<uint8_t>& out)
{
    size_t from = 0;
    for (;;) {
        const size_t end = bodies.find("\r\n", from);
        const std::string s = sirf::EncodeSentence(bodies.substr(from, end - from));
        out.insert(out.end(), s.begin(), s.end());
        if (end == std::string::npos)
            return;
        from = end + 2;
    }
}

}  // namespace

Receiver::Receiver(std::string chip, std::vector<uint8_t> flash, uint32_t sectorSize, PowerUp powerUp)
    : m_loader(std::move(chip), std::move(flash), sectorSize), m_sectorSize(sectorSize), m_powerUp(powerUp)
{
    PowerCycle();
}

namespace {
// Where a numeric build in front of the family token begins ("2.3.2-" in "2.3.2-GSW2-..."),
// so that the whole version is named; `at` itself when there is none. A build is digits and
// dots with at least one dot, ended by '-', and stands after a byte that is no letter, digit
// or dot, so that code bytes in front of a version are seldom taken for one.
size_t BuildBefore(const uint8_t* base, size_t at)
{
    if (at < 4 || base[at - 1] != '-')
        return at;
    size_t from = at - 1;
    bool dot = false;
    while (from > 0 && (std::isdigit(base[from - 1]) || base[from - 1] == '.')) {
        dot = dot || base[from - 1] == '.';
        --from;
    }
    const bool bounded = from == 0 || !(std::isalnum(base[from - 1]) || base[from - 1] == '.');
    return dot && from < at - 1 && std::isdigit(base[from]) && bounded ? from : at;
}
}  // namespace

std::string Receiver::FirmwareVersion(const std::vector<uint8_t>& flash, uint32_t sectorSize)
{
    const size_t area = flash.size() > sectorSize ? flash.size() - sectorSize : flash.size();
    const uint8_t* base = flash.data();
    for (size_t at = 0; at + 3 <= area; ++at) {
        const void* g = std::memchr(base + at, 'G', area - at);
        if (!g)
            break;
        at = size_t(static_cast<const uint8_t*>(g) - base);
        if (at + 3 > area || base[at + 1] != 'S' || (base[at + 2] != 'W' && base[at + 2] != 'D'))
            continue;
        size_t end = at;
        while (end < area && end - at < 80 && base[end] >= 0x20 && base[end] <= 0x7E)
            ++end;
        // A version is at least "GSW3.x.y" and ends the text (NUL, or erased flash).
        if (end - at < 8 || (end < area && base[end] != 0x00 && base[end] != 0xFF))
            continue;
        const size_t from = BuildBefore(base, at);
        std::string v(reinterpret_cast<const char*>(base + from), end - from);
        while (!v.empty() && v.back() == ' ')
            v.pop_back();
        return v;
    }
    return std::string();
}

void Receiver::PowerCycle()
{
    m_version = FirmwareVersion(m_loader.Flash(), m_sectorSize);
    m_nmea.Reset();
    m_binary.Reset();
    if (m_version.empty() || m_powerUp.mode == Mode::Boot) {
        EnterBoot();
        return;
    }
    const int defaults[6] = {1, 0, 5, 5, 1, 0};
    std::memcpy(m_rate, defaults, sizeof m_rate);
    std::vector<uint8_t> none;
    EnterNormal(m_powerUp.mode, m_powerUp.baud, none);
    m_banner = m_mode == Mode::Nmea;
    m_second = 0;
}

void Receiver::EnterNormal(Mode mode, uint32_t baud, std::vector<uint8_t>&)
{
    m_mode = mode;
    m_line = LineSettings{baud, true};
    m_nmea.Reset();
    m_binary.Reset();
    m_started = false;  // a receiver that switched starts its output at once
}

void Receiver::EnterBoot()
{
    m_mode = Mode::Boot;
    m_line = LineSettings{m_powerUp.loaderBaud, true};
    m_banner = false;
}

void Receiver::Garble(std::vector<uint8_t>& bytes, size_t from)
{
    for (size_t i = from; i < bytes.size(); ++i) {
        m_noise = m_noise * 1103515245u + 12345u;
        bytes[i] ^= uint8_t((m_noise >> 16) | 1);
    }
}

void Receiver::Receive(const uint8_t* p, size_t n, const LineSettings& host, std::vector<uint8_t>& out)
{
    size_t i = 0;
    while (i < n) {
        const size_t start = out.size();
        if (m_mode == Mode::Boot) {
            // The loader hears framing errors as nothing at all.
            if (host == m_line && !m_restartPending) {
                m_loader.Receive(p + i, n - i, out);
                // The reply to RESTART leaves at the loader's speed; the receiver restarts after it.
                m_restartPending = m_restartPending || m_loader.TakeRestart();
            }
            return;
        }
        uint8_t b = p[i++];
        if (host != m_line) {
            m_noise = m_noise * 1103515245u + 12345u;
            b ^= uint8_t((m_noise >> 16) | 1);
        }
        ReceiveByte(b, out);
        if (host != m_line)
            Garble(out, start);  // sent after a switch of speed the host has not followed yet
    }
}

void Receiver::ReceiveByte(uint8_t b, std::vector<uint8_t>& out)
{
    if (m_mode == Mode::Nmea) {
        m_nmea.Feed(&b, 1);
        std::string body;
        while (m_mode == Mode::Nmea && m_nmea.Next(body))
            OnSentence(body, out);
    } else {
        m_binary.Feed(&b, 1);
        std::vector<uint8_t> payload;
        while (m_mode == Mode::Binary && m_binary.Next(payload))
            OnBinary(payload, out);
    }
}

void Receiver::OnSentence(const std::string& body, std::vector<uint8_t>& out)
{
    const std::vector<std::string> f = sirf::SplitFields(body);
    if (f[0] == "PSRF100" && f.size() >= 6) {
        const uint32_t baud = ToNumber(f[2]);
        if ((f[1] == "0" || f[1] == "1") && IsReceiverSpeed(baud) && f[3] == "8" && f[4] == "1" && f[5] == "0")
            EnterNormal(f[1] == "0" ? Mode::Binary : Mode::Nmea, baud, out);
    } else if (f[0] == "PSRF103" && f.size() >= 5) {
        const uint32_t msg = ToNumber(f[1]), mode = ToNumber(f[2]), rate = ToNumber(f[3]);
        if (msg > 5 || f[1].empty())
            return;
        if (mode == 0 && rate <= 255)
            m_rate[msg] = int(rate);
        else if (mode == 1)
            AppendSentences(Sentence(int(msg), m_lastUtc), out);
    }
}

void Receiver::OnBinary(const std::vector<uint8_t>& payload, std::vector<uint8_t>& out)
{
    switch (payload[0]) {
        case sirf::MID_POLL_VERSION: {
            std::vector<uint8_t> reply(m_version.size() + 2, 0);  // the string ends with a NUL
            reply[0] = sirf::MID_VERSION;
            std::copy(m_version.begin(), m_version.end(), reply.begin() + 1);
            const std::vector<uint8_t> frame = sirf::EncodeBinary(reply);
            out.insert(out.end(), frame.begin(), frame.end());
            break;
        }
        case sirf::MID_SWITCH_NMEA:
            if (payload.size() >= 24) {
                const uint32_t baud = uint32_t(payload[22]) << 8 | payload[23];
                EnterNormal(Mode::Nmea, IsReceiverSpeed(baud) ? baud : m_line.baud, out);
            }
            break;
        case sirf::MID_SET_SERIAL:
            if (payload.size() >= 9) {
                const uint32_t baud =
                    uint32_t(payload[1]) << 24 | uint32_t(payload[2]) << 16 | uint32_t(payload[3]) << 8 | payload[4];
                if (IsReceiverSpeed(baud) && payload[5] == 8 && payload[6] == 1 && payload[7] == 0)
                    EnterNormal(Mode::Binary, baud, out);
            }
            break;
        case sirf::MID_BOOT:
            EnterBoot();
            break;
        default:
            break;  // configuration and polls we do not model
    }
}

uint64_t Receiver::NextTickMs() const
{
    if (m_restartPending)
        return 0;
    if (m_mode == Mode::Boot)
        return UINT64_MAX;
    return m_started ? m_nextMs : 0;
}

void Receiver::Tick(uint64_t nowMs, int64_t utcSeconds, const LineSettings& host, std::vector<uint8_t>& out)
{
    m_lastUtc = utcSeconds;
    if (m_restartPending) {
        m_restartPending = false;
        PowerCycle();
    }
    if (m_mode == Mode::Boot)
        return;
    if (!m_started) {
        m_started = true;
        m_nextMs = nowMs;
    }
    if (nowMs >= m_nextMs + 5000)
        m_nextMs = nowMs;  // the process was held up: no burst of stale seconds
    while (nowMs >= m_nextMs) {
        const size_t start = out.size();
        if (m_mode == Mode::Nmea)
            SendSentences(utcSeconds, out);
        else
            SendNavigation(utcSeconds, out);
        if (host != m_line)
            Garble(out, start);
        ++m_second;
        m_nextMs += 1000;
    }
}

void Receiver::SendSentences(int64_t utc, std::vector<uint8_t>& out)
{
    if (m_banner) {
        m_banner = false;
        const int64_t gps = utc - kGpsEpoch + kLeapSeconds;
        char buf[96];
        std::string lines = "PSRFTXT,Version:" + m_version;
        std::snprintf(buf, sizeof buf, "\r\nPSRFTXT,TOW:  %lld\r\nPSRFTXT,WK:   %lld", (long long)(gps % 604800),
                      (long long)(gps / 604800));
        lines += buf;
        std::snprintf(buf, sizeof buf, "\r\nPSRFTXT,POS:  %ld %ld %ld", long(kEcef[0]), long(kEcef[1]), long(kEcef[2]));
        lines += buf;
        lines += "\r\nPSRFTXT,CLK:  96250\r\nPSRFTXT,CHNL: 12\r\nPSRFTXT,Baud rate: " + std::to_string(m_line.baud);
        AppendSentences(lines, out);
    }
    static const int kOrder[6] = {0, 4, 2, 3, 1, 5};  // GGA, RMC, GSA, GSV, GLL, VTG
    for (int type : kOrder) {
        if (m_rate[type] > 0 && m_second % m_rate[type] == 0)
            AppendSentences(Sentence(type, utc), out);
    }
}

void Receiver::SendNavigation(int64_t utc, std::vector<uint8_t>& out)
{
    const int64_t gps = utc - kGpsEpoch + kLeapSeconds;
    std::vector<uint8_t> nav{sirf::MID_NAVIGATION};
    for (int32_t c : kEcef)
        Append32(nav, uint32_t(c));
    nav.insert(nav.end(), 6, 0);  // velocity: standing still
    nav.push_back(4);             // mode 1: a 3-D fix
    nav.push_back(5);             // HDOP 1.0, in fifths
    nav.push_back(0);             // mode 2
    nav.push_back(uint8_t(gps / 604800 % 1024 >> 8));
    nav.push_back(uint8_t(gps / 604800 % 1024));
    Append32(nav, uint32_t(gps % 604800 * 100));
    nav.push_back(8);
    for (int i = 0; i < 12; ++i)
        nav.push_back(i < 8 ? kSatellites[i] : 0);
    std::vector<uint8_t> frame = sirf::EncodeBinary(nav);
    out.insert(out.end(), frame.begin(), frame.end());
    const std::vector<uint8_t> throughput{sirf::MID_THROUGHPUT, 0, 40, 0, 20, 0, 120, 1, 0};
    frame = sirf::EncodeBinary(throughput);
    out.insert(out.end(), frame.begin(), frame.end());
}

}  // namespace gpsdevsim
