// Whole files for the tests, read or written in one call: as bytes or as text.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace test_support {

using Bytes = std::vector<unsigned char>;

// False when the file cannot be written whole.
inline bool WriteFile(const std::string& path, const Bytes& data)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

inline bool WriteFile(const std::string& path, const std::string& text)
{
    return WriteFile(path, Bytes(text.begin(), text.end()));
}

// False when the file cannot be opened.
inline bool ReadFile(const std::string& path, Bytes& data)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    data.clear();
    unsigned char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        data.insert(data.end(), buf, buf + n);
    std::fclose(f);
    return true;
}

// The file's bytes as a string; empty when it cannot be read.
inline std::string ReadText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace test_support
