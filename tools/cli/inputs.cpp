#include "inputs.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>

#include "cli.h"
#include "myFMR.h"
#include "myMDM.h"
#include "mySDM.h"
#include "stringmanipulation.h"

namespace tool {

namespace {

// Refuses what is there but is no readable regular file; false when nothing is there.
bool checkPresent(const std::string& option, const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return false;
        throw cli::RunError(option + ": cannot open " + path + ": " + std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) throw cli::RunError(option + ": " + path + " is a folder, not a file");
    if (!S_ISREG(st.st_mode)) throw cli::RunError(option + ": " + path + " is not a regular file (a pipe or a device?)");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw cli::RunError(option + ": cannot read " + path + ": " + std::strerror(errno));
    return true;
}

// The nearest part of path that exists ("" when none does), for a path that does not.
std::string nearestExisting(const std::string& path)
{
    std::error_code ec;
    for (std::filesystem::path p = std::filesystem::path(path).parent_path(); !p.empty(); p = p.parent_path()) {
        if (std::filesystem::exists(p, ec)) return p.string();
        if (p == p.parent_path()) break;
    }
    return {};
}

// Refuses a path of something to be written that leads through a file.
void checkWayThere(const std::string& option, const std::string& path, const char* what)
{
    const std::string existing = nearestExisting(path);
    std::error_code ec;
    if (!existing.empty() && !std::filesystem::is_directory(existing, ec))
        throw cli::RunError(option + ": cannot write the " + what + " " + path + ": " + existing + " is a file, not a folder");
}

} // namespace

void requireFile(const std::string& option, const std::string& path)
{
    if (!checkPresent(option, path)) throw cli::RunError(option + ": no such file: " + path);
}

void requireFileIfPresent(const std::string& option, const std::string& path)
{
    checkPresent(option, path);
}

void requireMotionFile(const std::string& option, const std::string& path)
{
    requireFile(option, path);
    const bool sdm = hasExtension(path, "sdm");
    if (!sdm && !hasExtension(path, "mdm"))
        throw cli::RunError(option + ": " + path + " is neither an SDM (.sdm) nor an MDM (.mdm) file");
    // Read once here so that a broken file is named with its option before any
    // work starts (the SDMs an MDM lists are the task's to find and read).
    try {
        if (sdm)
            SDM{path};
        else
            MDM{path};
    } catch (const std::exception& e) {
        throw cli::RunError(option + ": " + e.what());
    }
}

void requireFolder(const std::string& option, const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) throw cli::RunError(option + ": no such folder: " + path);
        throw cli::RunError(option + ": cannot open " + path + ": " + std::strerror(errno));
    }
    if (!S_ISDIR(st.st_mode)) throw cli::RunError(option + ": " + path + " is not a folder");
}

void requireOutputFile(const std::string& option, const std::string& path, bool createsFolders)
{
    cli::checkPathLength(option, path);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) throw cli::RunError(option + ": " + path + " is a folder, not a file");
        if (!S_ISREG(st.st_mode)) throw cli::RunError(option + ": " + path + " is not a regular file (a pipe or a device?)");
        return;
    }
    if (errno != ENOENT && errno != ENOTDIR) throw cli::RunError(option + ": cannot write " + path + ": " + std::strerror(errno));
    checkWayThere(option, path, "file");
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::error_code ec;
    if (!createsFolders && !folder.empty() && !std::filesystem::is_directory(folder, ec))
        throw cli::RunError(option + ": the folder " + folder.string() + " does not exist");
}

void requireOutputFolder(const std::string& option, const std::string& path)
{
    cli::checkPathLength(option, path);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) throw cli::RunError(option + ": " + path + " is not a folder");
        return;
    }
    if (errno != ENOENT && errno != ENOTDIR) throw cli::RunError(option + ": cannot use the folder " + path + ": " + std::strerror(errno));
    checkWayThere(option, path, "folder");
}

void requireRunDocument(const std::string& option, const std::string& path)
{
    requireFile(option, path);
    try {
        const FMR fmr(path, false);
        const std::pair<const char*, bool> keys[] = {{"NrOfVolumes:", fmr.NrOfVolumes.isSet()},
                                                     {"NrOfSlices:", fmr.NrOfSlices.isSet()},
                                                     {"ResolutionX:", fmr.ResolutionX.isSet()},
                                                     {"ResolutionY:", fmr.ResolutionY.isSet()}};
        for (const auto& [key, present] : keys)
            if (!present)
                throw cli::RunError(option + ": " + path + " is not an FMR document: it has no \"" + key + "\" line");
    } catch (const cli::RunError&) {
        throw;
    } catch (const std::exception& e) {
        throw cli::RunError(option + ": " + e.what());
    }
}

} // namespace tool
