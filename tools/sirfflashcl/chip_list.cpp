#include "tools/sirfflashcl/chip_list.h"

#include "contract/flash_tool_contract.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

ChipList ChipList::BuiltIn()
{
    // The families of the contract, in its order, with the layouts and versions we know.
    static_assert(CHIP_FAMILY_COUNT == 3, "a family of the contract without a built-in layout");
    ChipList list;
    list.m_chips = {
        {CHIP_FAMILIES[0].name, 0x100000, 0x10000, 0xF0000, 0xFFFFF, {"GSW3", "GSWLT3"}},  // GSP3
        {CHIP_FAMILIES[1].name, 0x100000, 0x10000, 0xF0000, 0xFFFFF, {"GSW2"}},            // GSP2e/LPx
        {CHIP_FAMILIES[2].name, 0x100000, 0x10000, 0xF0000, 0xFFFFF, {}},                  // GSP2t
    };
    return list;
}

namespace {
bool ParseNumber(const std::string& word, uint32_t& value)
{
    if (word.empty() || word[0] == '-' || word[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(word.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull)
        return false;
    value = uint32_t(v);
    return true;
}

// FIRST-LAST, both addresses included.
bool ParseRange(const std::string& word, uint32_t& first, uint32_t& last)
{
    const size_t dash = word.find('-');
    return dash != std::string::npos && ParseNumber(word.substr(0, dash), first) &&
           ParseNumber(word.substr(dash + 1), last);
}

// "GSW3,GSWLT3", or "-" (or nothing) for none.
bool ParsePrefixes(const std::string& word, std::vector<std::string>& out)
{
    if (word.empty() || word == "-")
        return true;
    std::string item;
    for (size_t i = 0; i <= word.size(); ++i) {
        if (i < word.size() && word[i] != ',') {
            item += word[i];
            continue;
        }
        // Software versions of SiRF receivers start with GSW or GSD.
        if (item.compare(0, 3, "GSW") != 0 && item.compare(0, 3, "GSD") != 0)
            return false;
        out.push_back(item);
        item.clear();
    }
    return true;
}

// Empty when the layout is sound, else what is wrong with it.
std::string CheckLayout(const ChipLayout& c)
{
    if (c.sectorSize < ChipList::kMinSectorSize || (c.sectorSize & (c.sectorSize - 1)) != 0)
        return "the sector size must be a power of two of at least 4 KiB";
    if (c.flashSize == 0 || c.flashSize > ChipList::kMaxFlashSize || c.flashSize % c.sectorSize != 0)
        return "the flash size must be a whole number of sectors, at most 16 MiB";
    if (c.userFirst > c.userLast || c.userLast >= c.flashSize)
        return "the user positions must lie inside the flash";
    if (c.userFirst % c.sectorSize != 0 || (uint64_t(c.userLast) + 1) % c.sectorSize != 0)
        return "the user positions must be whole sectors";
    return std::string();
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
        std::string name, flash, sector, user, prefixes, extra;
        if (!(words >> name))
            continue;
        ChipLayout chip;
        chip.name = name;
        const std::string where = "chip list line " + std::to_string(lineNo) + ": ";
        if (!(words >> flash >> sector >> user) || ((words >> prefixes) && (words >> extra))) {
            error = where +
                    "expected a name, a flash size, a sector size, the user positions FIRST-LAST and the version "
                    "prefixes";
            return false;
        }
        if (!ParsePrefixes(prefixes, chip.versionPrefixes)) {
            error = where + "the version prefixes start with GSW or GSD and are separated by commas, or -";
            return false;
        }
        if (!ParseNumber(flash, chip.flashSize) || !ParseNumber(sector, chip.sectorSize) ||
            !ParseRange(user, chip.userFirst, chip.userLast)) {
            error = where + "the sizes and the user positions must be numbers (hex with 0x, or decimal)";
            return false;
        }
        const std::string wrong = CheckLayout(chip);
        if (!wrong.empty()) {
            error = where + wrong;
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

std::vector<sirf::VersionPrefix> ChipList::VersionPrefixes() const
{
    std::vector<sirf::VersionPrefix> out;
    for (const ChipLayout& c : m_chips) {
        for (const std::string& p : c.versionPrefixes)
            out.push_back({p, c.name});
    }
    return out;
}

uint32_t ChipList::LargestFlash() const
{
    uint32_t largest = 0;
    for (const ChipLayout& c : m_chips)
        largest = c.flashSize > largest ? c.flashSize : largest;
    return largest;
}
