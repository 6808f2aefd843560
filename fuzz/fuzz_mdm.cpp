// The MDM reader on arbitrary bytes: it either throws or gives a list whose
// text, read again, prints the same.
#include <stdexcept>

#include "fuzz_support.h"
#include "myMDM.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string path = fuzz::writeInput("in.mdm", data, size);
    std::string first;
    try {
        MDM mdm(path);
        first = fuzz::printed(mdm);
    } catch (const std::runtime_error&) {
        return 0;
    } catch (const std::logic_error&) {
        return 0;
    }
    MDM again(fuzz::writeInput("again.mdm", first));
    const std::string second = fuzz::printed(again);
    if (second != first) fuzz::mismatch("MDM text changed on a second round trip", first, second);
    return 0;
}
