// tremora import: a NIfTI run and another package's motion estimates as the
// FMR document, slice data and 3DMC SDM that the tasks work on.
#include <iostream>

#include "commands.h"
#include "inputs.h"
#include "niftiimport.h"

namespace tool {

namespace {

int import(const cli::Args& args)
{
    for (const char* required : {"--bold", "--motion", "--motion-format", "--out"})
        if (!args.has(required)) throw cli::UsageError(std::string(required) + " is required");
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
    if (args.has("--tr")) {
        if (!(args.number("--tr") > 0)) throw cli::UsageError("--tr must be a positive number of milliseconds, got '" + args.text("--tr") + "'");
        request.trMs = args.number("--tr");
    }
    const ImportResult r = importRun(request);
    for (const auto& note : r.notes) std::cerr << "note: " << note << "\n";
    std::cout << "wrote " << r.fmr << " (run of " << r.volumes << " volumes of " << r.dims[0] << "x" << r.dims[1] << "x"
              << r.dims[2] << " voxels of " << r.voxel[0] << " x " << r.voxel[1] << " x " << r.voxel[2] << " mm, TR "
              << r.trMs << " ms; voxel axes toward " << r.orientation << ")\n";
    std::cout << "wrote " << r.stc << " (float slice data from " << r.dataType << ")\n";
    std::cout << "wrote " << r.sdm << " (6 motion predictors; " << r.axes << ")\n";
    return 0;
}

} // namespace

cli::Command importCommand()
{
    cli::Command c;
    c.name = "import";
    c.summary = "turn a NIfTI run and an FSL/SPM/AFNI/fMRIPrep motion file into an FMR, its slice data and 3DMC SDM";
    c.description =
        "Writes NAME.fmr, NAME.stc and NAME_3DMC.sdm into DIR (all three, or none when anything fails;\n"
        "existing files are kept unless --force). The NIfTI is read with nifti_clib: 3D or 4D, integers\n"
        "of 8 to 64 bits or 32/64-bit floats, scl_slope/scl_inter applied; the slice data are floats\n"
        "(values that are not finite become 0). Voxel sizes come from pixdim[1-3] (xyz_units), the TR\n"
        "from pixdim[4] (time_units: s, ms or us; without a unit, values under 100 are seconds) or --tr.\n"
        "The motion file needs one row per volume of the run; any other row count is refused.\n"
        "\n"
        "Orientation: the voxels keep the NIfTI's stored order. The FMR's x, y and slice axes are the\n"
        "image's i, j and k axes; nothing is flipped or resampled, so the maps of the displacement task\n"
        "lie voxel for voxel on the NIfTI (the maps carry the host's centred affine, not the NIfTI's: to\n"
        "overlay them in a viewer, give them the NIfTI's affine). The position block gives the slice\n"
        "centres and directions from the affine (sform, else qform) in scanner millimetres (x to the\n"
        "left, y to the back, z up).\n"
        "\n"
        "Motion: each package writes a rigid transform p' = R p + t. A 3DMC row moves a voxel at p to\n"
        "R p - T, so the SDM holds T = -t and right-handed angles in degrees:\n"
        "  fsl       *.par     rx ry rz (rad), tx ty tz (mm)      -> -tx -ty -tz, rx ry rz\n"
        "  fmriprep  *_desc-confounds_timeseries.tsv, columns trans_x ... rot_z (mm, rad) -> as fsl\n"
        "  spm       rp_*.txt  x y z (mm), pitch roll yaw (rad)   -> -x -y -z, -pitch roll -yaw\n"
        "            (SPM's pitch and yaw matrices turn the left-handed way)\n"
        "  afni      *.1D      roll pitch yaw (deg), dS dL dP (mm) -> -dL -dP -dS, -pitch -yaw -roll\n"
        "            (3dvolreg -1Dfile; roll, pitch and yaw turn right-handedly about the I, R and A\n"
        "            axes; its axes x, y, z run to the left, the back and up)\n"
        "Then the package's axes are put onto the image's voxel axes. FSL's (and fMRIPrep's) are the voxel\n"
        "axes, with x mirrored when the affine's determinant is positive (FSL keeps its coordinates\n"
        "radiological); SPM's are the world axes of the affine (x right, y front, z up) and AFNI's the\n"
        "DICOM axes (x left, y back, z up), each voxel axis taking the world axis nearest to it. A mirrored\n"
        "axis changes the sign of its translation and of the rotations about the two other axes. The map\n"
        "used is printed (\"x = -SPM x, y = SPM y, z = SPM z\"). Framewise displacement does not depend on\n"
        "any of these signs; the displacement maps do. FSL and AFNI rotate about the volume's centre, as\n"
        "the displacement maps do; SPM rotates about the world origin, which import does not move.";
    cli::Option format{"--motion-format", cli::Kind::Text, "FORMAT", "the package that wrote --motion"};
    format.choices = {"fsl", "spm", "afni", "fmriprep"};
    cli::Option tr{"--tr", cli::Kind::Number, "MS", "repetition time in milliseconds, instead of the header's"};
    tr.meaning = "a number of milliseconds";
    c.options = {
        {"--bold", cli::Kind::Path, "RUN.nii[.gz]", "the functional run (required)"},
        {"--motion", cli::Kind::Path, "FILE", "its motion estimates (required)"},
        format,
        {"--out", cli::Kind::Path, "DIR", "the folder to write into, created when missing (required)"},
        {"--name", cli::Kind::Text, "NAME", "base name of the files (default: the NIfTI's name without .nii[.gz])"},
        tr,
        {"--force", cli::Kind::Flag, "", "replace existing NAME.fmr, NAME.stc and NAME_3DMC.sdm"},
    };
    c.examples = {
        "tremora import --bold sub-01_task-rest_bold.nii.gz --motion prefiltered_func_data_mcf.par --motion-format fsl --out run1",
        "tremora import --bold rest.nii --motion rp_rest.txt --motion-format spm --out imported --name rest",
        "tremora import --bold sub-01_task-rest_desc-preproc_bold.nii.gz --motion sub-01_task-rest_desc-confounds_timeseries.tsv --motion-format fmriprep --out sub-01",
    };
    c.run = import;
    return c;
}

} // namespace tool
