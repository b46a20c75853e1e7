// The one seam between the protocol and a serial line. The utility implements it over a real
// port (serial_posix.cpp, serial_win32.cpp); tests implement it over an in-process receiver.
#pragma once

#include <cstddef>
#include <cstdint>

namespace flashproto {

class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Sends all n bytes. False when the line failed (unplugged, closed, write timed out).
    virtual bool Write(const uint8_t* p, size_t n) = 0;

    // Waits up to timeoutMs for bytes and returns how many were stored (1..max) as soon as some
    // arrived; 0 when the time ran out with nothing received; -1 when the line failed.
    virtual int Read(uint8_t* p, size_t max, uint32_t timeoutMs) = 0;

    // Drops whatever was received and not yet read.
    virtual void DiscardInput() = 0;

    // Sets the line to baud, 8N1, once what was written has left. False when the port refuses.
    // A line without a speed (in-process tests of the loader alone) takes any.
    virtual bool SetSpeed(uint32_t baud)
    {
        (void)baud;
        return true;
    }
};

}  // namespace flashproto
