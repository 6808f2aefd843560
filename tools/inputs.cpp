#include "inputs.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <exception>
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
