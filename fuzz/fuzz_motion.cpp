// The motion-file readers (.par, rp_*.txt, .1D, fMRIPrep's TSV) on arbitrary
// bytes. The first byte picks the format; the rest is the file. A file is
// refused with IOError or gives rows of six numbers, each finite and within
// the bounds of any head motion (translations in mm, rotations in rad or deg).
#include <cmath>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "ioerror.h"
#include "motionfiles.h"

using namespace qc; // the quality-control library (code/qc)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    static const MotionFormat formats[4] = {MotionFormat::FSL, MotionFormat::SPM, MotionFormat::AFNI, MotionFormat::FMRIPrep};
    static const char* const names[4] = {"in.par", "rp_in.txt", "in.1D", "in_desc-confounds_timeseries.tsv"};
    const int pick = data[0] % 4;
    const std::string path = fuzz::writeInput(names[pick], data + 1, size - 1);
    PackageRows rows;
    try {
        rows = readMotionFile(path, formats[pick]);
    } catch (const IOError&) {
        return 0;
    }
    if (rows.empty()) fuzz::mismatch("a motion file was read as no rows", path, "");
    // Which of the six are translations, in each format's order.
    static const bool translation[4][6] = {{false, false, false, true, true, true},
                                           {true, true, true, false, false, false},
                                           {false, false, false, true, true, true},
                                           {true, true, true, false, false, false}};
    const double rotationLimit = formats[pick] == MotionFormat::AFNI ? kMaxRotationDeg : kMaxRotationRad;
    for (const PackageRow& row : rows)
        for (int k = 0; k < 6; ++k) {
            const double limit = translation[pick][k] ? kMaxTranslationMm : rotationLimit;
            if (!(std::fabs(row[std::size_t(k)]) <= limit))
                fuzz::mismatch("a motion parameter beyond its bound was accepted", std::to_string(row[std::size_t(k)]), std::to_string(k));
        }
    return 0;
}
