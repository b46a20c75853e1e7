// Little-endian integers in byte buffers: the payload directory, the utility's pipe records, the
// protocol's frames and the PE and BMP headers store them so on every host. Header-only and
// portable, so that the utility, the protocol and the emulator can use it without linking afx.
#pragma once

#include <cstddef>
#include <cstdint>

// The value of the 2 or 4 bytes at p, least significant first. p points at char, unsigned char
// or uint8_t; the caller has checked that the bytes are there.
inline uint16_t LoadLE16(const void* p)
{
    const unsigned char* b = static_cast<const unsigned char*>(p);
    return uint16_t(b[0] | b[1] << 8);
}

inline uint32_t LoadLE32(const void* p)
{
    const unsigned char* b = static_cast<const unsigned char*>(p);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

// Writes v over the 2 or 4 bytes at p.
inline void StoreLE16(void* p, uint16_t v)
{
    unsigned char* b = static_cast<unsigned char*>(p);
    b[0] = static_cast<unsigned char>(v);
    b[1] = static_cast<unsigned char>(v >> 8);
}

inline void StoreLE32(void* p, uint32_t v)
{
    unsigned char* b = static_cast<unsigned char*>(p);
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Appends v as 2 or 4 bytes to a std::string or a vector of char, unsigned char or uint8_t.
template <class Bytes>
void AppendLE16(Bytes& out, uint16_t v)
{
    typedef typename Bytes::value_type Byte;
    out.push_back(Byte(v & 0xFF));
    out.push_back(Byte(v >> 8));
}

template <class Bytes>
void AppendLE32(Bytes& out, uint32_t v)
{
    typedef typename Bytes::value_type Byte;
    for (int i = 0; i < 4; ++i)
        out.push_back(Byte((v >> (8 * i)) & 0xFF));
}
