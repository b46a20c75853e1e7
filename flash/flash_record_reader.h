// Reads FlashToolMessage records (contract/flash_tool_contract.h) from any byte source: the worker's pipe,
// a buffer in tests and fuzzing. Outside data never makes it read past its buffers: a payload
// longer than the buffer is read whole and cut, and the text is always NUL-terminated.
#pragma once

#include "contract/flash_tool_contract.h"

#include <cstddef>
#include <cstdint>

// Where record bytes come from. ReadSome returns the number of bytes delivered (1..nCount),
// 0 at the end of the data, or a negative value when reading failed. It may deliver fewer bytes
// than asked for, as a pipe does.
class IFlashByteSource {
public:
    virtual ~IFlashByteSource() = default;
    virtual int ReadSome(void* pBuffer, unsigned nCount) = 0;
};

// Bytes held in memory, delivered at most nChunk at a time (0: all that is asked for).
class CMemoryByteSource : public IFlashByteSource {
public:
    CMemoryByteSource(const void* pData, size_t nSize, unsigned nChunk = 0)
        : m_pData(static_cast<const unsigned char*>(pData)), m_nSize(nSize), m_nChunk(nChunk)
    {
    }
    int ReadSome(void* pBuffer, unsigned nCount) override;

private:
    const unsigned char* m_pData;
    size_t m_nSize;
    size_t m_nPos = 0;
    unsigned m_nChunk;
};

enum FlashReadResult {
    FRR_RECORD,     // one whole record was read
    FRR_END,        // the data ended cleanly, between two records
    FRR_TRUNCATED,  // the data ended inside a record
    FRR_FAILED,     // the source reported a failure
};

class CFlashRecordReader {
public:
    explicit CFlashRecordReader(IFlashByteSource& source);

    // Reads the next record. After anything but FRR_RECORD the reader stays failed (IsOk false)
    // and returns the same result again without reading.
    FlashReadResult Next();
    bool IsOk() const { return m_result == FRR_RECORD; }

    int32_t GetLength() const { return m_nLength; }
    int32_t GetLine() const { return m_nLine; }
    int32_t GetCode() const { return m_nCode; }
    // The payload buffer up to its first NUL. The buffer is cleared once, when the reader is made:
    // a payload overwrites only its own bytes, and a record without payload leaves the previous
    // text in place, as the utility's records have always been read.
    const char* GetText() const { return m_payload; }
    // Bytes of the last record's payload that did not fit the buffer and were skipped.
    uint32_t GetSkipped() const { return m_nSkipped; }

private:
    bool ReadExact(void* pBuffer, unsigned nCount);
    bool Skip(uint32_t nCount);
    bool ReadInt(int32_t& nValue);

    IFlashByteSource& m_source;
    FlashReadResult m_result = FRR_RECORD;
    bool m_bStarted = false;  // some byte of the current record was read
    int32_t m_nLength = 0;
    int32_t m_nLine = 0;
    int32_t m_nCode = 0;
    uint32_t m_nSkipped = 0;
    // One byte more than the utility's buffer, always 0, so that a payload that fills the buffer
    // without a NUL still ends.
    char m_payload[FTM_PAYLOAD_BUFFER + 1];
};
