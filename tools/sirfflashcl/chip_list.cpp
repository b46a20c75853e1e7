#include "chip_list.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

ChipList ChipList::BuiltIn()
{
    ChipList list;
    list.m_chips = {
        {"GSP3", 0x100000, 0x10000},
        {"GSP2e/LPx", 0x100000, 0x10000},
        {"GSP2t", 0x100000, 0x10000},
    };
    return list;
}

namespace {
bool ParseSize(const std::string& word, uint32_t& value)
{
    if (word.empty() || word[0] == '-' || word[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(word.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v == 0 || v > 0xFFFFFFFFull)
        return false;
    value = uint32_t(v);
    return true;
}
}  // namespace

bool ChipList::Parse(const std::string& text, std::string& error)
{
    m_chips.clear();
    std::istringstream in(text);
    std::string line;
    size_t lineNo = 0;
    std::vector<ChipLayout> chips;
    while (std::getline(in, line)) {
        ++lineNo;
        const size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        std::istringstream words(line);
        std::string name, flash, sector, extra;
        if (!(words >> name))
            continue;
        ChipLayout chip;
        chip.name = name;
        const std::string where = "chip list line " + std::to_string(lineNo) + ": ";
        if (!(words >> flash >> sector) || (words >> extra)) {
            error = where + "expected a name, a flash size and a sector size";
            return false;
        }
        if (!ParseSize(flash, chip.flashSize) || !ParseSize(sector, chip.sectorSize) ||
            chip.flashSize % chip.sectorSize != 0) {
            error = where + "the sector size must be a positive number that divides the flash size";
            return false;
        }
        for (const ChipLayout& c : chips) {
            if (c.name == chip.name) {
                error = where + "chip " + name + " is listed twice";
                return false;
            }
        }
        chips.push_back(chip);
    }
    if (chips.empty()) {
        error = "the chip list names no chip";
        return false;
    }
    m_chips = std::move(chips);
    return true;
}

const ChipLayout* ChipList::Find(const std::string& chip) const
{
    for (const ChipLayout& c : m_chips) {
        if (c.name == chip)
            return &c;
    }
    return nullptr;
}
