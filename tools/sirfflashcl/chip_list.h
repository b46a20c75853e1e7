// The chip list (chiplist.txt beside the utility): each chip family's flash layout.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ChipLayout {
    std::string name;
    uint32_t flashSize = 0;
    uint32_t sectorSize = 0;
};

class ChipList {
public:
    static const char* FileName() { return "chiplist.txt"; }

    // The families the utility knows without a list file (the same as the shipped list).
    static ChipList BuiltIn();

    // Replaces the content with the list in text. False, with a reason naming the line, on a
    // damaged list; the content is then empty.
    bool Parse(const std::string& text, std::string& error);

    // The family whose name is exactly chip, or null.
    const ChipLayout* Find(const std::string& chip) const;
    const std::vector<ChipLayout>& Chips() const { return m_chips; }

private:
    std::vector<ChipLayout> m_chips;
};
