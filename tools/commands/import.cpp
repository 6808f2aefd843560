// tremora import: a NIfTI run and another package's motion estimates as the
// FMR document, slice data and 3DMC SDM that the tasks work on.
#include <iostream>

#include "commands.h"
#include "inputs.h"
#include "motionconventions.h"
#include "niftiimport.h"
#include "options.h"
#include "runjob.h"

namespace tool {

using namespace qc; // the quality-control library (code/qc)

namespace {

int import(const cli::Args& args)
{
    requireFile("--bold", args.text("--bold"));
    requireFile("--motion", args.text("--motion"));
    requireOutputFolder("--out", args.text("--out"));
    ImportRequest request;
    request.bold = args.text("--bold");
    request.motion = args.text("--motion");
    request.format = motionFormatFromName(args.text("--motion-format"));
    request.outDir = args.text("--out");
    request.name = args.text("--name");
    request.force = args.has("--force");
    if (args.has("--tr")) request.trMs = args.number("--tr");
    const bool fslLike = request.format == MotionFormat::FSL || request.format == MotionFormat::FMRIPrep;
    int references = 0;
    for (const char* option : {"--reference-volume", "--reference-image", "--reference"})
        if (args.has(option)) {
            ++references;
            if (!fslLike)
                throw cli::UsageError(std::string(option) + " applies to fsl and fmriprep motion only (" +
                                      motionFormatName(request.format) + " needs no reference)");
        }
    if (references > 1) throw cli::UsageError("give one of --reference-volume, --reference-image and --reference");
    if (args.has("--reference-volume")) request.referenceVolume = int(args.integer("--reference-volume"));
    if (args.has("--reference-image")) {
        requireFile("--reference-image", args.text("--reference-image"));
        request.referenceImage = args.text("--reference-image");
    }
    request.referenceMean = args.text("--reference") == "mean";
    if (args.has("--fmriprep-version")) {
        if (request.format != MotionFormat::FMRIPrep) throw cli::UsageError("--fmriprep-version applies to fmriprep motion only");
        request.fmriprepVersion = args.text("--fmriprep-version");
    }
    const ImportResult r = importForCommand(request);
    for (const auto& note : r.notes) std::cerr << "note: " << note << "\n";
    for (const auto& warning : r.warnings) std::cerr << "warning: " << warning << "\n";
    std::cout << "wrote " << r.fmr << " (run of " << r.volumes << " volumes of " << r.dims[0] << "x" << r.dims[1] << "x"
              << r.dims[2] << " voxels of " << r.voxel[0] << " x " << r.voxel[1] << " x " << r.voxel[2] << " mm, TR "
              << r.trMs << " ms; voxel axes toward " << r.orientation << ")\n";
    std::cout << "wrote " << r.stc << " (float slice data from " << r.dataType << ")\n";
    std::cout << "wrote " << r.sdm << " (6 motion predictors: each volume's transform about the volume centre, on the voxel axes)\n";
    std::cout << "wrote " << r.sidecar << " (how the motion was read)\n";
    std::cout << "wrote " << r.space << " (the NIfTI's sform and qform: the run's maps carry them)\n";
    std::cout << "motion convention: " << r.convention << "\n";
    std::cout << "reference: " << r.reference << "\n";
    std::cout << "centre of rotation: " << r.centre << "\n";
    return 0;
}

} // namespace

cli::Command importCommand()
{
    return {
        .name = "import",
        .summary = "turn a NIfTI run and an FSL/SPM/AFNI/fMRIPrep motion file into an FMR, its slice data and 3DMC SDM",
        .description =
            "Writes NAME.fmr, NAME.stc, NAME_3DMC.sdm, NAME_3DMC.json and NAME_space.json into DIR (all five,\n"
            "or none when anything fails; existing files are kept unless --force). The NIfTI is read with nifti_clib: 3D or\n"
            "4D, integers of 8 to 64 bits or 32/64-bit floats, scl_slope/scl_inter applied; the slice data are\n"
            "floats (values that are not finite become 0). Voxel sizes come from pixdim[1-3] (xyz_units), the\n"
            "TR from pixdim[4] (time_units: s, ms or us; without a unit, values under 100 are seconds) or --tr.\n"
            "The motion file needs one row per volume of the run; any other row count is refused.\n"
            "\n"
            "Orientation: the voxels keep the NIfTI's stored order. The FMR's x, y and slice axes are the\n"
            "image's i, j and k axes; nothing is flipped or resampled, so the maps of the displacement task\n"
            "lie voxel for voxel on the NIfTI. NAME_space.json keeps the NIfTI's sform and qform with their\n"
            "codes as stored, and every map of the run carries them, so the maps lie on the run in any\n"
            "viewer. The position block gives the slice\n"
            "centres and directions from the affine (sform, else qform) in scanner millimetres (x to the\n"
            "left, y to the back, z up).\n"
            "\n"
            "Motion: every package reports, per volume, a rigid transform onto its reference in coordinates and\n"
            "conventions of its own. Import builds that transform exactly as the package defines it, carries it\n"
            "into the SDM's frame (the voxel axes i, j, k in mm, origin at the volume centre; a row (T, A) moves\n"
            "p to Rz Ry Rx(A) p - T) and decomposes it into the row's six numbers, so the displacement maps\n"
            "move every voxel as the package's transform does. Rx, Ry, Rz turn right-handedly.\n"
            "  fsl       *.par: rx ry rz (rad), tx ty tz (mm). f' = R (f - c) + c + t, R = Rx(-rx) Ry(-ry) Rz(-rz),\n"
            "            in FSL coordinates (i dx, j dy, k dz; x mirrored, (nx-1-i) dx, when the affine's\n"
            "            determinant is positive; an image without sform and qform is not mirrored). c is the\n"
            "            centre of gravity of the reference volume (intensity minus its minimum): by default the\n"
            "            middle volume floor(n/2), as mcflirt takes it; see --reference-*.\n"
            "  fmriprep  *_desc-confounds_timeseries.tsv (or _regressors.tsv): trans_x ... rot_z (mm, rad). Up to\n"
            "            release 24 mcflirt's numbers, read as fsl with the boldref (--reference-image) as\n"
            "            reference. From release 25: R' = Rx(rot_x) Ry(rot_y) Rz(rot_z) is the transpose of\n"
            "            mcflirt's R, b = trans + R' c - c, f' = R f + b in FSL coordinates, c the voxel sizes\n"
            "            times the boldref's centre of mass. The release is read from the dataset_description.json\n"
            "            above the table, else --fmriprep-version, else the newer convention with a warning.\n"
            "  spm       rp_*.txt: x y z (mm), pitch roll yaw (rad). w' = T(x, y, z) Rx(-pitch) Ry(roll) Rz(-yaw) w\n"
            "            on world mm (sform, else qform), about the world origin; oblique axes are carried with\n"
            "            the affine's full direction cosines (a sheared affine with the nearest rotation, warned).\n"
            "  afni      *.1D (3dvolreg -1Dfile): roll pitch yaw (deg), dS dL dP (mm). R = Ry(yaw) Rx(pitch)\n"
            "            Rz(roll), t = (dL, dP, dS) on DICOM axes x = L, y = P, z = S, about the volume centre;\n"
            "            each voxel axis takes its nearest DICOM axis (3dvolreg works on the grid without\n"
            "            obliquity).\n"
            "The convention, the reference and the centre used are printed and kept in NAME_3DMC.json, which\n"
            "tremora report shows. Framewise displacement and the confound sets are computed from the SDM's\n"
            "rows, that is about the volume centre.",
        .options = {
            cli::path("--bold", "RUN.nii[.gz]", "the functional run").mandatory(),
            cli::path("--motion", "FILE", "its motion estimates").mandatory(),
            cli::text("--motion-format", "FORMAT", "the package that wrote --motion").oneOf({"fsl", "spm", "afni", "fmriprep"}).mandatory(),
            outFolderOption(),
            nameOption("", "the NIfTI's name without .nii[.gz]"),
            cli::number("--tr", "MS", "repetition time in milliseconds, instead of the header's").means("a number of milliseconds").above(0),
            cli::integer("--reference-volume", "N", "fsl, fmriprep: the reference volume of the motion, counted from 0")
                .means("a volume number")
                .from(0)
                .byDefaultNote("floor(n/2)"),
            cli::path("--reference-image", "FILE", "fsl, fmriprep: the reference image (mcflirt -reffile, fMRIPrep's boldref)"),
            cli::text("--reference", "WHICH", "fsl, fmriprep: the middle volume, or the mean (mcflirt -meanvol)")
                .oneOf({"middle", "mean"})
                .byDefault("middle"),
            cli::text("--fmriprep-version", "X.Y", "fmriprep: the release that wrote the table, instead of its dataset_description.json")
                .means("a release number such as 23.2 or 25.0")
                .only([](const std::string& v) { return fmriprepConventionOf(v).has_value(); }),
            cli::flag("--force", "replace existing NAME.fmr, NAME.stc, NAME_3DMC.sdm, NAME_3DMC.json and NAME_space.json"),
        },
        .examples = {
            "tremora import --bold sub-01_task-rest_bold.nii.gz --motion prefiltered_func_data_mcf.par --motion-format fsl --out run1",
            "tremora import --bold rest.nii --motion rp_rest.txt --motion-format spm --out imported --name rest",
            "tremora import --bold sub-01/func/sub-01_task-rest_bold.nii.gz --motion derivatives/fmriprep/sub-01/func/sub-01_task-rest_desc-confounds_timeseries.tsv --motion-format fmriprep --reference-image derivatives/fmriprep/sub-01/func/sub-01_task-rest_boldref.nii.gz --out sub-01",
        },
        .run = import,
    };
}

} // namespace tool
