// A single-study design matrix: predictors (one float per data point, i.e.
// per volume of a run), each with a name and a display colour, under a short
// header, as read from and written to an SDM text file.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "ioerror.h"
#include "line.h"

class SDM {
public:
    // An empty matrix: FileVersion 1, all counts 0, no constant, every header
    // line set with width 24.
    SDM();
    // Reads the file. Throws OpenFileError ("Failed opening for reading: " + path)
    // when it cannot be opened, and IOError for a header without a readable
    // "FirstConfoundPredictor:" line or with impossible counts, or for a data
    // value that is no float; the messages name the file (and the row).
    explicit SDM(const std::string& path);

    // Removes all predictors but keeps the header for a fresh set of the same
    // length: NrOfPredictors 0, FirstConfoundPredictor 1, IncludesConstant false.
    void Clear();
    // True when there are predictors and every value of the last one is 1.0.
    bool HasBaseline() const;
    // Appends a predictor when it has NrOfDataPoints values; otherwise nothing changes.
    void AddPredictor(std::vector<float> values, std::string name, int r, int g, int b);
    // Adds all of other's predictors (same NrOfDataPoints only), in front of
    // this matrix's constant last predictor if it has one, else at the end.
    void Append(const SDM& other);

    // The file's text; leaves os in fixed-point notation with precision 6.
    void PrintTo(std::ostream& os);
    // Writes FileName, replacing it only when the whole text was written.
    // Throws WriteFileError "Cannot Create file: " + FileName on failure.
    bool Save();
    bool SaveAs(const std::string& path);

    std::string FileName;
    Line<int> FileVersion;
    Line<int> NrOfPredictors;
    Line<int> NrOfDataPoints;
    Line<bool> IncludesConstant;
    Line<int> FirstConfoundPredictor;
    // One entry per predictor, 0 to 255.
    std::vector<int> ColorR;
    std::vector<int> ColorG;
    std::vector<int> ColorB;
    std::vector<std::string> PredictorNames;
    // Predictors[predictor][data point].
    std::vector<std::vector<float>> Predictors;
};
