// libFuzzer target: any bytes as the flash utility's pipe, delivered in pieces of any size.
// Reading and dispatching must never crash or overrun, the text must always end within the
// buffer, and a run must end with at most one final event.
#include "flash/flash_tool_run.h"
#include "flash/update_state.h"

#include <cstdlib>
#include <cstring>

namespace {

class Host : public IFlashRunHost {
public:
    int finals = 0, posts = 0, boxes = 0, releases = 0;
    bool IfCurrent(const std::function<void()>& f) override
    {
        f();
        return true;
    }
    void PostUpdateEvent(int nKind, intptr_t) override
    {
        ++posts;
        if (nKind != UPD_PROGRESS)
            ++finals;
    }
    void ShowMessageBox(const CString& strText) override
    {
        ++boxes;
        if (std::strlen(strText) > 4096)
            std::abort();
    }
    void ReleaseRun() override { ++releases; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const unsigned chunk = data[0] % 17;  // 0: whatever is asked for
    CMemoryByteSource source(data + 1, size - 1, chunk);
    CFlashRecordReader reader(source);
    g_chipType = (data[0] & 0x80) ? CHIP_PENDING : 0;
    g_portCursor = data[0] & 1;
    g_firstPort = 0;
    Host host;
    CFlashToolRun run(host);
    int exitCode = run.Run(reader);
    if (std::strlen(reader.GetText()) > FTM_PAYLOAD_BUFFER)
        std::abort();
    if (host.finals != 1 || host.releases != 1 || (exitCode != 0 && exitCode != 1))
        std::abort();
    return 0;
}
