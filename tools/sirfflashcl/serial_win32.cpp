#include "tools/sirfflashcl/serial.h"

#include "afx/scoped_handle_win32.h"
#include "contract/flash_tool_contract.h"

#include <windows.h>

#include <memory>
#include <string>

namespace {

std::string SystemErrorText(DWORD code)
{
    char* buf = nullptr;
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<char*>(&buf), 0, nullptr);
    std::string text = n && buf ? std::string(buf, n) : std::string();
    if (buf)
        LocalFree(buf);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(code) : text + ", error " + std::to_string(code);
}

// A read returns once bytes have come and the line has been quiet for 10 ms, or after readMs
// with nothing (Wine ignores the MAXDWORD "return at once" form); a write fails when the line
// does not drain within 5 s plus 1 ms a byte.
bool SetLineTimeouts(HANDLE port, DWORD readMs)
{
    COMMTIMEOUTS to = {};
    to.ReadIntervalTimeout = 10;
    to.ReadTotalTimeoutMultiplier = 0;
    to.ReadTotalTimeoutConstant = readMs;
    to.WriteTotalTimeoutMultiplier = 1;
    to.WriteTotalTimeoutConstant = 5000;
    return SetCommTimeouts(port, &to) != FALSE;
}

// The line at baud with 8 data bits, no parity, one stop bit, no flow control, DTR and RTS on;
// then the timeouts of a quiet line.
bool SetUpLine(HANDLE port, uint32_t baud)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!SetupComm(port, 16384, 16384) || !GetCommState(port, &dcb))
        return false;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    return SetCommState(port, &dcb) && SetLineTimeouts(port, 100);
}

// Held for the whole run: one utility per port. Windows refuses a second open of a port in use,
// but Wine lets two programs open one port, and two writers would ruin the receiver's flash.
class PortClaim {
public:
    // True when this process now holds the port's claim; why says otherwise.
    bool Take(int line, std::string& why)
    {
        const std::string name = "Global\\SiRFflashcl.COM" + std::to_string(line);
        m_mutex.Attach(CreateMutexA(nullptr, FALSE, name.c_str()));
        if (!m_mutex.IsValid()) {
            why = "cannot be claimed (" + SystemErrorText(GetLastError()) + ").";
            return false;
        }
        const DWORD w = WaitForSingleObject(m_mutex.Get(), 0);
        if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED)
            return true;
        m_mutex.Close();
        why = "is in use by another run of the flash utility.";
        return false;
    }
    // Only a taken claim holds the mutex: release it, then m_mutex closes it.
    ~PortClaim()
    {
        if (m_mutex.IsValid())
            ReleaseMutex(m_mutex.Get());
    }

private:
    CScopedHandle m_mutex;
};

class Win32SerialPort : public flashproto::SerialPort {
public:
    Win32SerialPort(CScopedHandle port, std::unique_ptr<PortClaim> claim)
        : m_claim(std::move(claim)), m_port(std::move(port))
    {
    }

    bool Write(const uint8_t* p, size_t n) override
    {
        while (n > 0) {
            DWORD written = 0;
            const DWORD chunk = n > 65536 ? 65536 : DWORD(n);
            if (!WriteFile(m_port.Get(), p, chunk, &written, nullptr) || written == 0)
                return false;  // failed, or the write timeout ran out: the line is not draining
            p += written;
            n -= written;
        }
        return true;
    }

    int Read(uint8_t* p, size_t max, uint32_t timeoutMs) override
    {
        if (timeoutMs == 0)
            timeoutMs = 1;
        if (timeoutMs != m_readTimeout) {
            if (!SetLineTimeouts(m_port.Get(), timeoutMs))
                return -1;
            m_readTimeout = timeoutMs;
        }
        DWORD got = 0;
        const DWORD want = max > 65536 ? 65536 : DWORD(max);
        if (!ReadFile(m_port.Get(), p, want, &got, nullptr))
            return -1;
        return int(got);
    }

    void DiscardInput() override { PurgeComm(m_port.Get(), PURGE_RXCLEAR); }

    bool SetSpeed(uint32_t baud) override
    {
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        FlushFileBuffers(m_port.Get());  // what was written leaves at the old speed
        if (!GetCommState(m_port.Get(), &dcb))
            return false;
        dcb.BaudRate = baud;
        return SetCommState(m_port.Get(), &dcb) != FALSE;
    }

private:
    // Declared in the reverse of closing: the port closes first, then the claim is released, so
    // that a run waiting for the claim never finds the port still open.
    std::unique_ptr<PortClaim> m_claim;
    CScopedHandle m_port;
    uint32_t m_readTimeout = 0;
};

}  // namespace

OpenedPort OpenSerialPort(const FlashToolOptions& opt)
{
    OpenedPort result;
    result.name = "COM" + std::to_string(opt.line);
    const std::string path = "\\\\.\\" + result.name;
    // Claimed before the port is opened: a second run must not even reset the line of the first.
    auto claim = std::make_unique<PortClaim>();
    std::string why;
    if (!claim->Take(opt.line, why)) {
        result.code = FTM_ERR_PORT_BUSY;
        result.text = "The serial port " + result.name + " " + why;
        return result;
    }
    // Declared after the claim: on every return below the port closes before the claim is released.
    CScopedHandle port(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!port.IsValid()) {
        const DWORD e = GetLastError();
        const bool missing = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_INVALID_NAME ||
                             e == ERROR_BAD_PATHNAME;
        result.code = missing ? FTM_ERR_NO_PORT : FTM_ERR_PORT_BUSY;
        result.text = "The serial port " + result.name + (missing ? " does not exist (" : " cannot be opened (") +
                      SystemErrorText(e) + ").";
        return result;
    }
    if (!SetUpLine(port.Get(), opt.baud)) {
        const DWORD e = GetLastError();
        result.code = FTM_ERR_PORT_BUSY;
        result.text = "The serial port " + result.name + " cannot be set to " + std::to_string(opt.baud) +
                      " bit/s 8N1 (" + SystemErrorText(e) + ").";
        return result;
    }
    PurgeComm(port.Get(), PURGE_RXCLEAR | PURGE_TXCLEAR);
    result.port = std::make_unique<Win32SerialPort>(std::move(port), std::move(claim));
    return result;
}
