// Where a run's outcome goes: FlashToolMessage records into the updater's pipe, or plain text
// on the console when the utility runs by hand. A run reports exactly one final outcome
// (Done or Error); anything reported after it is dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class Reporter {
public:
    virtual ~Reporter() = default;
    // percent 0..100; bytes done in this phase; phase and chip are single words.
    void Progress(int percent, uint32_t bytes, const char* phase, uint32_t address);
    void ChipName(const std::string& chip);
    void Done();
    void Error(int32_t code, const std::string& text);
    // Reports the error and returns its code, for a run that ends with it.
    int Fail(int32_t code, const std::string& text)
    {
        Error(code, text);
        return code;
    }
    bool Finished() const { return m_finished; }
    // A line for a person at the bench (--identify); only the console shows it.
    virtual void Info(const std::string& line) { (void)line; }

    // While held, the final outcome is kept back until ReleaseFinal: the session sends it only
    // once the port is closed, so a run started on reading it finds the port free.
    void HoldFinal() { m_hold = true; }
    void ReleaseFinal();

protected:
    virtual void Emit(int32_t code, const std::string* text) = 0;

private:
    void EmitFinal(int32_t code, const std::string* text);

    bool m_finished = false;
    bool m_hold = false, m_held = false;
    int32_t m_heldCode = 0;
    bool m_heldHasText = false;
    std::string m_heldText;
    std::string m_chip = "-";
};

// Records as the updater reads them, handed to sink as whole records.
class RecordReporter : public Reporter {
public:
    RecordReporter(int32_t line, std::function<void(const std::string&)> sink) : m_line(line), m_sink(std::move(sink))
    {
    }

protected:
    void Emit(int32_t code, const std::string* text) override;

private:
    int32_t m_line;
    std::function<void(const std::string&)> m_sink;
};

// One line of text per report on stdout, errors on stderr.
class ConsoleReporter : public Reporter {
public:
    void Info(const std::string& line) override;

protected:
    void Emit(int32_t code, const std::string* text) override;
};
