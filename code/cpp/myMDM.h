// A multi-study design matrix file: a few settings and, per study, the path
// of its functional data and of its SDM. Its paths can be repaired with the
// user's help when the studies have moved.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "ioerror.h"

class MDM {
public:
    // An empty list: FileVersion 3, RFX-GLM 0, PSCTransformation 1,
    // zTransformation 0, SeparatePredictors 0, no study.
    MDM();
    // Reads the file. Throws OpenFileError ("Failed opening for reading: " + path)
    // when it cannot be opened and IOError for an unreadable header
    // value or a negative NrOfStudies.
    explicit MDM(const std::string& fileName);

    // Writes FileName, replacing it only when the whole text was written.
    // Throws WriteFileError "Cannot Create file: " + FileName on failure.
    bool Save();
    bool SaveAs(const std::string& fileName);
    void PrintTo(std::ostream& out);

    // Makes sure the first SDM can be opened. If it cannot, asks the user
    // (host file dialog) for it, swaps the differing head of every path for
    // the head of the chosen one, keeping the common tail, and saves. False
    // when the user cancels or picks a path shorter than the file name sought.
    bool CheckAndCorrectPath();

    int FileVersion = 3;
    // The file's own path: where Save writes, and where path repair starts looking.
    std::string FileName;
    // VTC, FMR, MTC, ...; only "MTC" (one more path per study) changes anything.
    std::string TypeOfFunctionalData;
    int RFX_GLM = 0;
    int PSCTransformation = 1;
    int zTransformation = 0;
    int SeparatePredictors = 0;
    // As read (the number of study lines consumed), not recounted.
    int NrOfStudies = 0;
    // One entry per accepted study line, in file order. LeadingPaths is filled
    // for MTC data only (empty entries for studies that gave no such path).
    std::vector<std::string> LeadingPaths;
    std::vector<std::string> DataPaths;
    std::vector<std::string> SDMPaths;
};
