#include "tools/sirfflashcl/session_inputs.h"

#include "afx/afx.h"
#include "tools/sirfflashcl/flashcl_codes.h"

#include <algorithm>

namespace {

enum class FileRead { Ok, Missing, Unreadable, TooLarge };

// Reads a whole regular file of at most maxBytes. why: what went wrong, for the message.
FileRead ReadBoundedFile(const std::string& path, uint64_t maxBytes, std::string& data, std::string& why)
{
    CFile file;
    CFileException e;
    if (!file.Open(path.c_str(), CFile::modeRead | CFile::shareDenyWrite, &e)) {
        if (e.m_cause == CFileException::fileNotFound)
            return FileRead::Missing;
        why = e.m_cause == CFileException::accessDenied ? "it is a folder or a device, or access is denied"
                                                        : "it cannot be opened";
        return FileRead::Unreadable;
    }
    try {
        const uint64_t length = file.GetLength();
        if (length > maxBytes) {
            why =
                "it holds " + std::to_string(length) + " bytes, more than the " + std::to_string(maxBytes) + " allowed";
            return FileRead::TooLarge;
        }
        data.resize(size_t(length));
        size_t got = 0;
        while (got < data.size()) {
            const unsigned n = file.Read(&data[got], unsigned(std::min<size_t>(data.size() - got, 1 << 20)));
            if (n == 0)
                break;
            got += n;
        }
        data.resize(got);
    } catch (const CFileException&) {
        why = "reading it failed";
        return FileRead::Unreadable;
    }
    return FileRead::Ok;
}

}  // namespace

int LoadChipList(const SessionSettings& settings, ChipList& chips, Reporter& out)
{
    chips = ChipList::BuiltIn();
    if (settings.chipListPath.empty())
        return 0;
    std::string text, why, error;
    const FileRead fr = ReadBoundedFile(settings.chipListPath, ChipList::kMaxFileBytes, text, why);
    if (fr == FileRead::Missing)
        return 0;
    if (fr == FileRead::Ok && chips.Parse(text, error))
        return 0;
    return out.Fail(FLASHCL_ERR_CHIP_LIST,
                    "The chip list " + settings.chipListPath + " is damaged: " + (error.empty() ? why : error) + ".");
}

int LoadFirmware(const FlashToolOptions& opt, const ChipList& chips, SRecordImage& image, Reporter& out)
{
    const uint64_t bound = kFirmwareTextPerFlashByte * chips.LargestFlash();
    std::string text, why, error;
    switch (ReadBoundedFile(opt.file, bound, text, why)) {
        case FileRead::Ok:
            break;
        case FileRead::TooLarge:
            return out.Fail(FLASHCL_ERR_FILE_BAD, "The firmware file " + opt.file +
                                                      " is too large for any flash in the chip list: " + why + ".");
        case FileRead::Missing:
            return out.Fail(FLASHCL_ERR_FILE_READ,
                            "Cannot read the firmware file " + opt.file + ": it does not exist.");
        case FileRead::Unreadable:
            return out.Fail(FLASHCL_ERR_FILE_READ, "Cannot read the firmware file " + opt.file + ": " + why + ".");
    }
    if (!ParseSRecords(text, image, error))
        return out.Fail(FLASHCL_ERR_FILE_BAD,
                        "The firmware file " + opt.file + " is not valid S-record text: " + error + ".");
    return 0;
}
