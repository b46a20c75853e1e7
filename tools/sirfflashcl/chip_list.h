// The chip list (chiplist.txt beside the utility): each chip family's flash layout, the range
// of its flash that holds the user positions, and the prefixes of the software versions that a
// receiver of that family names in its normal mode.
#pragma once

#include "tools/protocol/sirf_messages.h"

#include <cstdint>
#include <string>
#include <vector>

struct ChipLayout {
    std::string name;
    uint32_t flashSize = 0;
    uint32_t sectorSize = 0;
    uint32_t userFirst = 0;  // the user positions: first and last address, both included,
    uint32_t userLast = 0;   // whole sectors inside the flash
    std::vector<std::string> versionPrefixes;
};

class ChipList {
public:
    static const char* FileName() { return "chiplist.txt"; }
    // Limits on what a list may say. The utility holds a whole image in memory.
    static constexpr uint32_t kMinSectorSize = 0x1000;    // 4 KiB
    static constexpr uint32_t kMaxFlashSize = 0x1000000;  // 16 MiB
    static constexpr size_t kMaxFileBytes = 0x10000;      // a list file longer than 64 KiB is damaged

    // The families the utility knows without a list file (the same as the shipped list).
    static ChipList BuiltIn();

    // Replaces the content with the list in text. False, with a reason naming the line, on a
    // damaged list; the content is then empty.
    bool Parse(const std::string& text, std::string& error);

    // The family whose name is exactly chip, or null.
    const ChipLayout* Find(const std::string& chip) const;
    const std::vector<ChipLayout>& Chips() const { return m_chips; }
    // Every family's version prefixes, for sirf::FamilyOfVersion.
    std::vector<sirf::VersionPrefix> VersionPrefixes() const;
    // The largest flash of any family listed.
    uint32_t LargestFlash() const;

private:
    std::vector<ChipLayout> m_chips;
};
