#include "flash/tool_message.h"

#include "afx/little_endian.h"

#include <cstring>

std::string EncodeFlashToolMessage(int32_t nLine, int32_t nCode, const char* pszText)
{
    const size_t nPayload = pszText ? std::strlen(pszText) + 1 : 0;
    std::string out;
    out.reserve(FTM_HEADER_SIZE + nPayload);
    AppendLE32(out, uint32_t(8 + nPayload));
    AppendLE32(out, uint32_t(nLine));
    AppendLE32(out, uint32_t(nCode));
    if (pszText)
        out.append(pszText, nPayload);
    return out;
}
