// The emulated receiver's flash, kept in a file so that tests can compare it byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t kEmulatedFlashSize = 0x100000;                                    // 1 MiB
constexpr uint32_t kEmulatedSectorSize = 0x10000;                                    // sixteen 64 KiB sectors
constexpr uint32_t kUserPositionsSector = kEmulatedFlashSize - kEmulatedSectorSize;  // the last one

// The content of a new receiver: erased, with a pattern in the user-positions sector that a
// test can recognise ("USERPOS 0F0000\r\n" every 16 bytes, the address of the line).
std::vector<uint8_t> FreshFlash();

// Loads path when it holds exactly kEmulatedFlashSize bytes; otherwise creates it fresh.
// created says which. False with a reason when the file can be neither read nor written.
bool LoadOrCreateFlash(const std::string& path, std::vector<uint8_t>& flash, bool& created, std::string& error);

// Replaces path by data through a temporary file and a rename, so that a reader never sees a
// half-written flash.
bool SaveFlash(const std::string& path, const std::vector<uint8_t>& data, std::string& error);
