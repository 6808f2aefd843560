// The NIfTI reader's checks on arbitrary bytes (plain, or gzip when the input
// starts with gzip's magic number). An image is refused with one message or
// read whole: then its data hold every byte the header promises, which the
// scan for non-finite values reads to the end (AddressSanitizer finds a
// shorter buffer), and a message names the file.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "fuzz_support.h"
#include "niftiread.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const bool gzip = size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
    const std::string path = fuzz::writeInput(gzip ? "in.nii.gz" : "in.nii", data, size);
    try {
        const tool::NiftiImage image = tool::readNifti(path);
        if (image->data == nullptr && image->nvox > 0) fuzz::mismatch("an image was read without its data", path, "");
        if (tool::realNiftiType(image->datatype)) {
            const tool::NonFiniteScan scan = tool::scanNonFinite(*image, path);
            if (scan.count > scan.voxels.size()) fuzz::mismatch("more non-finite voxels than voxels", path, "");
        }
    } catch (const std::runtime_error& e) {
        if (std::string(e.what()).rfind(path + ": ", 0) != 0) fuzz::mismatch("a refusal that does not name the file", e.what(), path);
    }
    return 0;
}
