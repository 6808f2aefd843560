#include "mySDM.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <stdexcept>

#include "assertion.h"
#include "atomicfile.h"

namespace {

constexpr int defaultWidth = 24;

// Zero rows after the end of the file are accepted (they read as 0.0), but a
// header may not announce a matrix that would need far more memory than the
// file could ever describe: every value in a data row takes at least one byte
// (its decimal point) and every row its line feed, so beyond the file's size
// only this many padding values (or empty rows), and this many predictors
// without data, are allowed.
constexpr std::int64_t paddingValues = std::int64_t(1) << 22;
constexpr std::int64_t paddingPredictors = std::int64_t(1) << 16;

IOError invalid(const std::string& path, const std::string& what)
{
    return IOError("Invalid SDM file " + path + ": " + what);
}

// Where the value that owns the decimal point at dots[j] begins. The file's
// rule is two characters before the point (room for a sign and one digit);
// a longer integer part such as -12.5 or 123.0 would be cut, so when blanks
// show that the number begins earlier, it begins there.
std::size_t pieceStart(const std::string& row, const std::vector<std::size_t>& dots, std::size_t j,
                       std::size_t previousStart)
{
    if (j == 0) return 0;
    std::size_t start = dots[j] >= 2 ? dots[j] - 2 : 0;
    std::size_t token = dots[j];
    while (token > dots[j - 1] + 1 && row[token - 1] != ' ' && row[token - 1] != '\t') --token;
    const bool blankBefore = token > dots[j - 1] + 1;
    if (blankBefore && token < start) start = token;
    return std::max(start, previousStart);
}

float toFloat(const std::string& piece, const std::string& path, int row, std::size_t predictor)
{
    const std::string where = "Invalid SDM file " + path + ": data row " + std::to_string(row + 1) +
                              ", predictor " + std::to_string(predictor + 1);
    try {
        return std::stof(piece);
    } catch (const std::invalid_argument&) {
        throw IOError(where + " holds no number");
    } catch (const std::out_of_range&) {
        throw IOError(where + " is out of the range of a float");
    }
}

} // namespace

SDM::SDM()
    : FileVersion("FileVersion", 1, defaultWidth),
      NrOfPredictors("NrOfPredictors", 0, defaultWidth),
      NrOfDataPoints("NrOfDataPoints", 0, defaultWidth),
      IncludesConstant("IncludesConstant", false, defaultWidth),
      FirstConfoundPredictor("FirstConfoundPredictor", 0, defaultWidth)
{
}

SDM::SDM(const std::string& path) : FileName(path)
{
    FileVersion.updateValue(-1);

    std::ifstream in(path);
    if (!in) throw OpenFileError("Failed opening for reading: " + path);

    // Header: tokens up to and including the "FirstConfoundPredictor:" line.
    struct Key {
        const char* token;
        Line<int>* field;
    };
    const Key intKeys[] = {{"FileVersion:", &FileVersion},
                           {"NrOfPredictors:", &NrOfPredictors},
                           {"NrOfDataPoints:", &NrOfDataPoints},
                           {"FirstConfoundPredictor:", &FirstConfoundPredictor}};
    bool headerComplete = false;
    std::string token;
    while (!headerComplete && in >> token) {
        if (token == "IncludesConstant:") {
            IncludesConstant.readLine(in, token);
        } else {
            const auto key = std::find_if(std::begin(intKeys), std::end(intKeys),
                                          [&](const Key& k) { return token == k.token; });
            if (key == std::end(intKeys)) continue;
            key->field->readLine(in, token);
            headerComplete = key->field == &FirstConfoundPredictor;
        }
        if (in.fail()) throw invalid(path, "the value of \"" + token + "\" cannot be read");
    }
    if (!headerComplete) throw invalid(path, "the header ends without a \"FirstConfoundPredictor:\" line");

    const int nrOfPredictors = NrOfPredictors;
    const int nrOfDataPoints = NrOfDataPoints;
    if (nrOfPredictors < 0) throw invalid(path, "NrOfPredictors is negative (" + std::to_string(nrOfPredictors) + ")");
    if (nrOfDataPoints < 0) throw invalid(path, "NrOfDataPoints is negative (" + std::to_string(nrOfDataPoints) + ")");
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    const std::int64_t fileSize = ec ? 0 : static_cast<std::int64_t>(size);
    const std::int64_t values = std::int64_t(nrOfPredictors) * nrOfDataPoints;
    if (nrOfPredictors > fileSize + paddingPredictors || nrOfDataPoints > fileSize + paddingValues ||
        values > fileSize + paddingValues)
        throw invalid(path, "NrOfPredictors " + std::to_string(nrOfPredictors) + " and NrOfDataPoints " +
                                std::to_string(nrOfDataPoints) + " announce more values than a file of " +
                                std::to_string(fileSize) + " bytes holds");
    const auto predictors = static_cast<std::size_t>(nrOfPredictors);

    // Colours: red, green, blue per predictor; the first failed integer
    // (normally the quote that opens the names line) ends them.
    ColorR.assign(predictors, 0);
    ColorG.assign(predictors, 0);
    ColorB.assign(predictors, 0);
    const auto extract = [&in](int& value) {
        if (in >> value) return true;
        in.clear();
        return false;
    };
    int red = 0;
    if (extract(red)) {
        for (std::size_t i = 0; i < predictors; ++i) {
            int green = 0, blue = 0;
            extract(green);
            extract(blue);
            ColorR[i] = red;
            ColorG[i] = green;
            ColorB[i] = blue;
            if (!extract(red)) break;
        }
    }

    // Names: the quoted texts of the names line, in order.
    std::string names;
    std::getline(in, names);
    if (names.find('"') == std::string::npos) std::getline(in, names);
    PredictorNames.assign(predictors, "NoName");
    std::size_t position = 0;
    for (std::size_t taken = 0; taken < predictors; ++taken) {
        const auto open = names.find('"', position);
        if (open == std::string::npos) break;
        const auto close = names.find('"', open + 1);
        if (close == std::string::npos) break;
        PredictorNames[taken] = names.substr(open + 1, close - open - 1);
        position = close + 1;
    }

    // Values: one row per data point, one decimal point per value.
    Predictors.assign(predictors, std::vector<float>(static_cast<std::size_t>(nrOfDataPoints), 0.0f));
    std::string row;
    std::vector<std::size_t> dots;
    std::vector<std::size_t> starts;
    for (int r = 0; r < nrOfDataPoints && predictors > 0; ++r) {
        if (!std::getline(in, row)) break; // missing rows stay 0.0
        dots.clear();
        for (std::size_t c = row.find('.'); c != std::string::npos; c = row.find('.', c + 1)) dots.push_back(c);
        if (dots.size() != predictors) continue;
        starts.assign(predictors, 0);
        for (std::size_t j = 0; j < predictors; ++j)
            starts[j] = pieceStart(row, dots, j, j == 0 ? 0 : starts[j - 1]);
        for (std::size_t j = 0; j < predictors; ++j) {
            const std::size_t end = j + 1 < predictors ? starts[j + 1] : row.size();
            Predictors[j][static_cast<std::size_t>(r)] = toFloat(row.substr(starts[j], end - starts[j]), path, r, j);
        }
    }
}

void SDM::Clear()
{
    NrOfPredictors.updateValue(0);
    FirstConfoundPredictor.updateValue(1);
    IncludesConstant.updateValue(false);
    std::vector<int>().swap(ColorR);
    std::vector<int>().swap(ColorG);
    std::vector<int>().swap(ColorB);
    std::vector<std::string>().swap(PredictorNames);
    std::vector<std::vector<float>>().swap(Predictors);
}

bool SDM::HasBaseline() const
{
    if (NrOfPredictors.value() == 0 || Predictors.empty()) return false;
    const auto& last = Predictors.back();
    return std::all_of(last.begin(), last.end(), [](float v) { return v == 1.0f; });
}

void SDM::AddPredictor(std::vector<float> values, std::string name, int r, int g, int b)
{
    if (NrOfDataPoints.value() < 0 || values.size() != static_cast<std::size_t>(NrOfDataPoints.value())) return;
    Predictors.push_back(std::move(values));
    PredictorNames.push_back(std::move(name));
    ColorR.push_back(r);
    ColorG.push_back(g);
    ColorB.push_back(b);
    NrOfPredictors.updateValue(static_cast<int>(Predictors.size()));
}

void SDM::Append(const SDM& other)
{
    if (other.NrOfDataPoints.value() != NrOfDataPoints.value()) return;
    if (&other == this) {
        const SDM copy(other);
        Append(copy);
        return;
    }
    // A constant predictor stays the last one, as design matrices expect.
    const std::size_t at = HasBaseline() ? Predictors.size() - 1 : Predictors.size();
    const auto offset = static_cast<std::ptrdiff_t>(at);
    Predictors.insert(Predictors.begin() + offset, other.Predictors.begin(), other.Predictors.end());
    PredictorNames.insert(PredictorNames.begin() + offset, other.PredictorNames.begin(), other.PredictorNames.end());
    ColorR.insert(ColorR.begin() + offset, other.ColorR.begin(), other.ColorR.end());
    ColorG.insert(ColorG.begin() + offset, other.ColorG.begin(), other.ColorG.end());
    ColorB.insert(ColorB.begin() + offset, other.ColorB.begin(), other.ColorB.end());
    NrOfPredictors.updateValue(static_cast<int>(Predictors.size()));
}

void SDM::PrintTo(std::ostream& os)
{
    const int nrOfPredictors = NrOfPredictors;
    const int nrOfDataPoints = NrOfDataPoints;
    const auto predictors = static_cast<std::size_t>(std::max(nrOfPredictors, 0));
    const auto points = static_cast<std::size_t>(std::max(nrOfDataPoints, 0));
    // The writer indexes every list by the two counts.
    TREMORA_ASSERT(ColorR.size() >= predictors && ColorG.size() >= predictors && ColorB.size() >= predictors &&
                   PredictorNames.size() >= predictors && Predictors.size() >= predictors);
    for (std::size_t i = 0; i < predictors; ++i) TREMORA_ASSERT(Predictors[i].size() >= points);

    printDocumentLine(FileVersion, os, 2);
    printDocumentLine(NrOfPredictors, os, 1);
    printDocumentLine(NrOfDataPoints, os, 1);
    printDocumentLine(IncludesConstant, os, 1);
    printDocumentLine(FirstConfoundPredictor, os, 2);

    for (std::size_t i = 0; i < predictors; ++i) {
        if (i > 0) os << "   ";
        os << ColorR[i] << ' ' << ColorG[i] << ' ' << ColorB[i];
    }
    os << '\n';
    for (std::size_t i = 0; i < predictors; ++i) {
        if (i > 0) os << ' ';
        os << '"' << PredictorNames[i] << '"';
    }
    os << '\n';

    // The minus sign of a negative value takes the place of the extra blank,
    // so the decimal points of a column line up.
    os << std::fixed << std::setprecision(6);
    for (std::size_t r = 0; r < points; ++r) {
        for (std::size_t i = 0; i < predictors; ++i) {
            const float v = Predictors[i][r];
            os << (i == 0 ? " " : "  ");
            if (v >= 0.0f) os << ' ';
            os << v;
        }
        os << '\n';
    }
}

bool SDM::Save()
{
    saveTextAtomically(FileName, [this](std::ostream& os) { PrintTo(os); });
    return true;
}

bool SDM::SaveAs(const std::string& path)
{
    FileName = path;
    return Save();
}
