#include "flash/flash_record_reader.h"

#include "afx/little_endian.h"

#include <algorithm>
#include <cstring>

int CMemoryByteSource::ReadSome(void* pBuffer, unsigned nCount)
{
    size_t n = std::min<size_t>(nCount, m_nSize - m_nPos);
    if (m_nChunk)
        n = std::min<size_t>(n, m_nChunk);
    if (n == 0)
        return 0;
    std::memcpy(pBuffer, m_pData + m_nPos, n);
    m_nPos += n;
    return int(n);
}

CFlashRecordReader::CFlashRecordReader(IFlashByteSource& source) : m_source(source)
{
    std::memset(m_payload, 0, sizeof m_payload);
}

bool CFlashRecordReader::ReadExact(void* pBuffer, unsigned nCount)
{
    char* p = static_cast<char*>(pBuffer);
    while (nCount > 0) {
        int n = m_source.ReadSome(p, nCount);
        if (n < 0 || unsigned(n) > nCount) {
            m_result = FRR_FAILED;
            return false;
        }
        if (n == 0) {
            m_result = m_bStarted ? FRR_TRUNCATED : FRR_END;
            return false;
        }
        m_bStarted = true;
        p += n;
        nCount -= unsigned(n);
    }
    return true;
}

bool CFlashRecordReader::Skip(uint32_t nCount)
{
    char scratch[256];
    while (nCount > 0) {
        unsigned n = unsigned(std::min<uint32_t>(nCount, sizeof scratch));
        if (!ReadExact(scratch, n))
            return false;
        nCount -= n;
    }
    return true;
}

bool CFlashRecordReader::ReadInt(int32_t& nValue)
{
    unsigned char b[4];
    if (!ReadExact(b, 4))
        return false;
    nValue = int32_t(LoadLE32(b));
    return true;
}

FlashReadResult CFlashRecordReader::Next()
{
    if (m_result != FRR_RECORD)
        return m_result;
    m_bStarted = false;
    m_nSkipped = 0;
    if (!ReadInt(m_nLength) || !ReadInt(m_nLine) || !ReadInt(m_nCode))
        return m_result;
    // Computed wide: length - 8 overflows 32 bits for the most negative lengths.
    int64_t nPayload = int64_t(m_nLength) - 8;
    if (nPayload > 0) {
        uint32_t nKept = uint32_t(std::min<int64_t>(nPayload, FTM_PAYLOAD_BUFFER));
        if (!ReadExact(m_payload, nKept))
            return m_result;
        m_nSkipped = uint32_t(nPayload - nKept);
        if (!Skip(m_nSkipped))
            return m_result;
    }
    return FRR_RECORD;
}
