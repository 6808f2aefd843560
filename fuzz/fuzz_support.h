// Shared parts of the fuzz targets: a private scratch folder per process, the
// input written to a file there (the readers take paths), and the check that
// a second write of what was read gives the same text as the first.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fuzz {

inline const std::filesystem::path& scratch()
{
    static const std::filesystem::path dir = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "tremora-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        return std::filesystem::path(pattern);
    }();
    return dir;
}

inline std::string writeInput(const std::string& name, const std::uint8_t* data, std::size_t size)
{
    const std::filesystem::path path = scratch() / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::abort();
    return path.string();
}

inline std::string writeInput(const std::string& name, const std::string& text)
{
    return writeInput(name, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// A broken promise: print both texts so that the finding explains itself.
[[noreturn]] inline void mismatch(const char* what, const std::string& first, const std::string& second)
{
    std::fprintf(stderr, "%s\n--- first ---\n%s\n--- second ---\n%s\n", what, first.c_str(), second.c_str());
    std::abort();
}

template <typename Document>
std::string printed(Document& document)
{
    std::ostringstream out;
    document.PrintTo(out);
    return out.str();
}

} // namespace fuzz
