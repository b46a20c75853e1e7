#include "tools/sirfflashcl/reporter.h"

#include "contract/flash_tool_contract.h"

#include <cstdio>

namespace {
// The updater reads a payload into a 1024-byte buffer and scans progress with "%s": keep texts
// short and words free of blanks.
constexpr size_t kMaxText = 900;

std::string OneWord(std::string s)
{
    for (char& c : s) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            c = '_';
    }
    return s.empty() ? "-" : s;
}
}  // namespace

void Reporter::Progress(int percent, uint32_t bytes, const char* phase, uint32_t address)
{
    if (m_finished)
        return;
    if (percent < 0)
        percent = 0;
    if (percent > 100)
        percent = 100;
    char buf[160];
    std::snprintf(buf, sizeof buf, "%d %u %s 0x%08X %s", percent, unsigned(bytes), OneWord(phase).c_str(),
                  unsigned(address), m_chip.c_str());
    const std::string text = buf;
    Emit(FTM_PROGRESS, &text);
}

void Reporter::ChipName(const std::string& chip)
{
    if (m_finished)
        return;
    m_chip = OneWord(chip.substr(0, 64));
    const std::string text = chip.substr(0, 64);
    Emit(FTM_CHIP_NAME, &text);
}

void Reporter::Done()
{
    if (m_finished)
        return;
    m_finished = true;
    EmitFinal(FTM_DONE, nullptr);
}

void Reporter::Error(int32_t code, const std::string& text)
{
    if (m_finished)
        return;
    m_finished = true;
    const std::string clipped = text.substr(0, kMaxText);
    EmitFinal(code, &clipped);
}

void Reporter::EmitFinal(int32_t code, const std::string* text)
{
    if (!m_hold) {
        Emit(code, text);
        return;
    }
    m_held = true;
    m_heldCode = code;
    m_heldHasText = text != nullptr;
    m_heldText = text ? *text : std::string();
}

void Reporter::ReleaseFinal()
{
    m_hold = false;
    if (m_held) {
        m_held = false;
        Emit(m_heldCode, m_heldHasText ? &m_heldText : nullptr);
    }
}

void RecordReporter::Emit(int32_t code, const std::string* text)
{
    m_sink(EncodeFlashToolMessage(m_line, code, text ? text->c_str() : nullptr));
}

void ConsoleReporter::Emit(int32_t code, const std::string* text)
{
    switch (code) {
        case FTM_PROGRESS:
            std::printf("progress %s\n", text->c_str());
            break;
        case FTM_CHIP_NAME:
            std::printf("chip %s\n", text->c_str());
            break;
        case FTM_DONE:
            std::printf("done\n");
            break;
        default:
            std::fprintf(stderr, "SiRFflashcl: error %d: %s\n", int(code), text ? text->c_str() : "");
            break;
    }
    std::fflush(stdout);
}

void ConsoleReporter::Info(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}
