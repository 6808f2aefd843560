// The SDM reader on arbitrary bytes: it either throws one of its documented
// exceptions or gives a matrix whose text, read again, prints the same.
#include <cstdint>
#include <stdexcept>

#include "fuzz_support.h"
#include "mySDM.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string path = fuzz::writeInput("in.sdm", data, size);
    std::string first;
    try {
        SDM sdm(path);
        // A header may announce up to 4M values that the file does not hold
        // (they read as zeros); printing a million of them under the
        // sanitizers takes seconds, near the fuzzer's time limit, so the round
        // trip is checked on matrices up to 256k values.
        if (std::int64_t(sdm.NrOfPredictors.value()) * sdm.NrOfDataPoints.value() > (std::int64_t(1) << 18)) return 0;
        first = fuzz::printed(sdm);
    } catch (const std::runtime_error&) { // IOError: a file that is no SDM
        return 0;
    }
    SDM again(fuzz::writeInput("again.sdm", first));
    const std::string second = fuzz::printed(again);
    if (second != first) fuzz::mismatch("SDM text changed on a second round trip", first, second);
    return 0;
}
