// The NIfTI reader's checks on arbitrary bytes (plain, or gzip when the input
// starts with gzip's magic number). An image is refused with one message or
// read whole: then its data hold every byte the header promises, which the
// scan for non-finite values reads to the end (AddressSanitizer finds a
// shorter buffer), and a message names the file. The reader that takes the
// data as they are inflated takes for whole only what the whole read gives.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

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
    try {
        const tool::NiftiImage header = tool::readNiftiHeader(path);
        if (header->nbyper <= 0 || header->nvox == 0) return 0;
        std::vector<unsigned char> taken;
        const std::size_t block = std::size_t(header->nbyper) * std::min<std::size_t>(header->nvox, 4096);
        const bool whole = tool::streamNiftiData(*header, block, [&](const unsigned char* bytes, std::size_t n) {
            taken.insert(taken.end(), bytes, bytes + n);
        });
        if (!whole) return 0;
        const tool::NiftiImage image = tool::readNifti(path); // must not throw: the stream was sound
        const std::size_t bytes = image->nvox * std::size_t(image->nbyper);
        if (taken.size() != bytes || std::memcmp(taken.data(), image->data, bytes) != 0)
            fuzz::mismatch("the streamed data differ from the data read whole", path, "");
    } catch (const std::runtime_error& e) {
        if (std::string(e.what()).rfind(path + ": ", 0) != 0) fuzz::mismatch("a refusal that does not name the file", e.what(), path);
    }
    return 0;
}
