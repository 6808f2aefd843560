#include "myMDM.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <utility>

#include "TMZRPluginInterface.h"
#include "atomicfile.h"
#include "stringmanipulation.h"

namespace {

constexpr std::size_t keyWidth = 22;

void writeKey(std::ostream& out, const std::string& key)
{
    out << key << std::string(key.size() < keyWidth ? keyWidth - key.size() : 1, ' ');
}

IOError invalid(const std::string& path, const std::string& what)
{
    return IOError("Invalid MDM file " + path + ": " + what);
}

bool isMTC(const std::string& type) { return type == "MTC"; }

} // namespace

MDM::MDM() = default;

MDM::MDM(const std::string& fileName) : FileVersion(-1), FileName(fileName)
{
    std::ifstream in(fileName);
    if (!in) throw OpenFileError("Failed opening for reading: " + fileName);

    // Header: at most seven words, each key followed by its value; it ends at NrOfStudies.
    const auto readInt = [&](const std::string& key, int& field) {
        int value = 0;
        if (!(in >> value)) throw invalid(fileName, "the value of \"" + key + "\" cannot be read");
        field = value;
    };
    std::string word;
    // A key read where the data type should stand: the type was left empty
    // (as a new list is written) and the word is the next key.
    std::string pending;
    const auto nextWord = [&]() -> bool {
        if (!pending.empty()) {
            word = std::move(pending);
            pending.clear();
            return true;
        }
        return static_cast<bool>(in >> word);
    };
    for (int words = 0; words < 7 && nextWord(); ++words) {
        if (word == "FileVersion:")
            readInt(word, FileVersion);
        else if (word == "TypeOfFunctionalData:") {
            if (!(in >> TypeOfFunctionalData)) throw invalid(fileName, "the value of \"" + word + "\" cannot be read");
            if (TypeOfFunctionalData.back() == ':') pending = std::exchange(TypeOfFunctionalData, std::string());
        } else if (word == "RFX-GLM:")
            readInt(word, RFX_GLM);
        else if (word == "PSCTransformation:")
            readInt(word, PSCTransformation);
        else if (word == "zTransformation:")
            readInt(word, zTransformation);
        else if (word == "SeparatePredictors:")
            readInt(word, SeparatePredictors);
        else if (word == "NrOfStudies:") {
            readInt(word, NrOfStudies);
            break;
        }
    }
    if (NrOfStudies < 0) throw invalid(fileName, "NrOfStudies is negative (" + std::to_string(NrOfStudies) + ")");
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');

    // Study lines: two quoted paths, or three for MTC data; any other line
    // (a blank one too) is skipped but still counts as a study line.
    const bool mtc = isMTC(TypeOfFunctionalData);
    std::string line;
    std::vector<std::size_t> quotes;
    for (int study = 0; study < NrOfStudies; ++study) {
        if (!std::getline(in, line)) break; // the missing lines would all be skipped
        quotes.clear();
        for (std::size_t q = line.find('"'); q != std::string::npos; q = line.find('"', q + 1)) quotes.push_back(q);
        const auto quoted = [&](std::size_t pair) {
            return line.substr(quotes[2 * pair] + 1, quotes[2 * pair + 1] - quotes[2 * pair] - 1);
        };
        if (mtc && quotes.size() == 6) {
            LeadingPaths.push_back(quoted(0));
            DataPaths.push_back(quoted(1));
            SDMPaths.push_back(quoted(2));
        } else if (quotes.size() == 4) {
            if (mtc) LeadingPaths.emplace_back();
            DataPaths.push_back(quoted(0));
            SDMPaths.push_back(quoted(1));
        }
    }
}

bool MDM::Save()
{
    saveTextAtomically(FileName, [this](std::ostream& out) { PrintTo(out); });
    return true;
}

bool MDM::SaveAs(const std::string& fileName)
{
    FileName = fileName;
    return Save();
}

void MDM::PrintTo(std::ostream& out)
{
    out << '\n';
    writeKey(out, "FileVersion:");
    out << FileVersion << '\n';
    writeKey(out, "TypeOfFunctionalData:");
    out << TypeOfFunctionalData << "\n\n";
    writeKey(out, "RFX-GLM:");
    out << RFX_GLM << "\n\n";
    writeKey(out, "PSCTransformation:");
    out << PSCTransformation << '\n';
    writeKey(out, "zTransformation:");
    out << zTransformation << '\n';
    writeKey(out, "SeparatePredictors:");
    out << SeparatePredictors << "\n\n";
    writeKey(out, "NrOfStudies:");
    out << NrOfStudies << '\n';

    const bool mtc = isMTC(TypeOfFunctionalData);
    for (std::size_t i = 0; i < DataPaths.size(); ++i) {
        if (mtc) out << '"' << (i < LeadingPaths.size() ? LeadingPaths[i] : std::string()) << "\"  ";
        out << '"' << DataPaths[i] << "\"  \"" << (i < SDMPaths.size() ? SDMPaths[i] : std::string()) << "\"\n";
    }
}

bool MDM::CheckAndCorrectPath()
{
    if (SDMPaths.empty()) return true;
    if (std::ifstream(SDMPaths.front())) return true;

    const std::string old = SDMPaths.front();
    const std::string name = getFileName(old);
    const std::string folder = getPath(FileName);
    const std::string title = "SDM not found. Select " + name + " manually.";
    const std::string filter = "Single Subject Desgin Matrix (" + name + ")";
    char buffer[512] = {};
    if (zrGetOpenFileName(title.c_str(), folder.c_str(), filter.c_str(), buffer) == 0) return false;
    const std::string chosen(buffer, strnlen(buffer, sizeof buffer));
    if (chosen.size() < name.size()) return false;

    // The common tail (file name and unchanged sub-folders) stays; only the
    // differing head of every path is swapped.
    std::size_t common = 0;
    const std::size_t shorter = std::min(chosen.size(), old.size());
    while (common < shorter && chosen[chosen.size() - 1 - common] == old[old.size() - 1 - common]) ++common;
    const std::string newPrefix = chosen.substr(0, chosen.size() - common);
    const std::size_t oldPrefixLength = old.size() - common;

    // By position only: a path shorter than the old head is replaced whole.
    const auto repair = [&](std::string& path) { path.replace(0, oldPrefixLength, newPrefix); };
    const bool mtc = isMTC(TypeOfFunctionalData);
    for (std::size_t i = 0; i < SDMPaths.size(); ++i) {
        repair(SDMPaths[i]);
        if (i < DataPaths.size()) repair(DataPaths[i]);
        if (mtc && i < LeadingPaths.size()) repair(LeadingPaths[i]);
    }
    Save();
    return true;
}
