#include "flash/tool_message.h"

#include <cstring>

namespace {
void PutLE32(std::string& out, int32_t v)
{
    uint32_t u = uint32_t(v);
    for (int i = 0; i < 4; ++i)
        out.push_back(char((u >> (8 * i)) & 0xFF));
}
} // namespace

std::string EncodeFlashToolMessage(int32_t nLine, int32_t nCode, const char* pszText)
{
    const size_t nPayload = pszText ? std::strlen(pszText) + 1 : 0;
    std::string out;
    out.reserve(FTM_HEADER_SIZE + nPayload);
    PutLE32(out, int32_t(8 + nPayload));
    PutLE32(out, nLine);
    PutLE32(out, nCode);
    if (pszText)
        out.append(pszText, nPayload);
    return out;
}
