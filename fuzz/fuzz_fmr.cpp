// The FMR document reader and its slice data loader. The input is split at
// its first NUL byte: the document text before it, the STC bytes after it.
// The document is read, its slice data loaded (whole, then one volume), and
// the document and data are saved and read back, which must give the same
// text and the same voxels.
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "fuzz_support.h"
#include "myFMR.h"

namespace {

// Slice data beyond this many voxels is not loaded: a run of that size is
// legitimate for the loader (it zero-fills past a short file), but the fuzzer
// runs under a 1 GiB memory limit, and loading and saving big runs would spend
// its time on copying zeros rather than on new inputs.
constexpr std::int64_t kMaxFuzzVoxels = std::int64_t(1) << 18;

bool sameVoxels(const std::vector<Volume<float>>& a, const std::vector<Volume<float>>& b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t v = 0; v < a.size(); ++v) {
        if (a[v].size() != b[v].size()) return false;
        if (a[v].size() == 0) continue;
        // Bitwise: NaN slice values must survive a save too.
        if (std::memcmp(a[v].data(), b[v].data(), sizeof(float) * std::size_t(a[v].size())) != 0) return false;
    }
    return true;
}

// The position block reads back only when it is whole: lines of it that are
// set while PosInfosVerified is not are written without the block's title (a
// reader takes them for lines outside it), and a block without GapThickness,
// its last line, never ends (a reader takes the lines after it for block lines).
bool blockNotWhole(const FMR& f)
{
    if (f.PosInfosVerified.isSet()) return !f.GapThickness.isSet();
    const bool set[] = {f.CoordinateSystem.isSet(), f.Slice1CenterX.isSet(), f.Slice1CenterY.isSet(),
                        f.Slice1CenterZ.isSet(),    f.SliceNCenterX.isSet(), f.SliceNCenterY.isSet(),
                        f.SliceNCenterZ.isSet(),    f.RowDirX.isSet(),       f.RowDirY.isSet(),
                        f.RowDirZ.isSet(),          f.ColDirX.isSet(),       f.ColDirY.isSet(),
                        f.ColDirZ.isSet(),          f.NRows.isSet(),         f.NCols.isSet(),
                        f.FoVRows.isSet(),          f.FoVCols.isSet(),       f.PosInfoSliceThickness.isSet(),
                        f.GapThickness.isSet()};
    for (bool s : set)
        if (s) return true;
    return false;
}

std::string fileText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::uint8_t* nul = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
    const std::size_t textSize = nul ? std::size_t(nul - data) : size;
    const std::filesystem::path dir = fuzz::scratch();
    std::filesystem::remove(dir / "saved.fmr");
    const std::string path = fuzz::writeInput("in.fmr", data, textSize);
    try {
        FMR fmr(path, false);
        // The slice data goes where the document says, but only inside the
        // scratch folder: a Prefix with folders in it is not followed.
        const std::filesystem::path stc(fmr.STCFileName());
        if (stc.parent_path() == dir && stc.filename() != "in.fmr" && stc.filename() != "saved.fmr" &&
            stc.filename() != "saved.stc") {
            if (nul)
                fuzz::writeInput(stc.filename().string(), nul + 1, size - textSize - 1);
            else
                std::filesystem::remove(stc);
        }
        const std::int64_t voxels = std::int64_t(fmr.ResolutionX.value()) * fmr.ResolutionY.value() *
                                    fmr.NrOfSlices.value() * std::max(fmr.NrOfVolumes.value(), 0);
        const bool loadable = voxels >= 0 && voxels <= kMaxFuzzVoxels && fmr.ResolutionX.value() >= 0 &&
                              fmr.ResolutionY.value() >= 0 && fmr.NrOfSlices.value() >= 0;
        if (loadable) {
            fmr.LoadSTC();
            if (fmr.NrOfVolumes.value() > 0) {
                FMR one(path, false);
                one.LoadSTCVolume(fmr.NrOfVolumes.value() - 1);
                if (one.Volumes.size() != 1 || !sameVoxels({one.Volumes[0]}, {fmr.Volumes.back()}))
                    fuzz::mismatch("one volume differs from the same volume of the full load", "", "");
            }
        }
        if (!loadable) return 0;
        fmr.SaveAs((dir / "saved.fmr").string());
        FMR again((dir / "saved.fmr").string(), true);
        const std::string second = fuzz::printed(again);
        // The save renames the run: compare the texts past the Prefix change by
        // printing the original under the new name as well.
        fmr.Prefix.value() = again.Prefix.value();
        const std::string renamed = fuzz::printed(fmr);
        if (fileText(dir / "saved.fmr") != renamed) fuzz::mismatch("the saved FMR is not the document printed", renamed, fileText(dir / "saved.fmr"));
        if (!sameVoxels(fmr.Volumes, again.Volumes)) fuzz::mismatch("FMR voxels changed on a save and read", "", "");
        if (blockNotWhole(fmr)) return 0;
        if (second != renamed) fuzz::mismatch("FMR text changed on a save and read", renamed, second);
    } catch (const std::runtime_error&) {
        return 0;
    } catch (const std::logic_error&) {
        return 0;
    }
    return 0;
}
