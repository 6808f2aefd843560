#!/usr/bin/python3
"""A one-run BIDS study of benchmark size, with fMRIPrep-style derivatives.

    bench/make_run_study.py DIR [NX NY NZ VOLUMES]     (default 96 96 60 500)

Writes DIR/sub-01/func/sub-01_task-rest_bold.nii.gz (int16, a head-shaped
phantom with noise and a slow drift, 2 s TR) and, in DIR/derivatives/fmriprep,
the run's confounds table (a small head motion), its boldref and brain mask,
as tremora bids expects them. The data are made a slab of volumes at a time, so
writing a run larger than memory works too.
"""
import gzip
import json
import os
import sys

import numpy as np
import nibabel as nib


def main():
    out = sys.argv[1]
    nx, ny, nz, nt = (int(v) for v in (sys.argv[2:6] if len(sys.argv) >= 6 else (96, 96, 60, 500)))
    func = os.path.join(out, "sub-01", "func")
    derived = os.path.join(out, "derivatives", "fmriprep", "sub-01", "func")
    os.makedirs(func, exist_ok=True)
    os.makedirs(derived, exist_ok=True)
    with open(os.path.join(out, "dataset_description.json"), "w") as f:
        json.dump({"Name": "tremora benchmark run", "BIDSVersion": "1.9.0", "DatasetType": "raw"}, f, indent=2)
    with open(os.path.join(out, "participants.tsv"), "w") as f:
        f.write("participant_id\nsub-01\n")
    with open(os.path.join(func, "sub-01_task-rest_bold.json"), "w") as f:
        json.dump({"TaskName": "rest", "RepetitionTime": 2.0}, f, indent=2)
    with open(os.path.join(out, "derivatives", "fmriprep", "dataset_description.json"), "w") as f:
        json.dump({"Name": "benchmark derivatives", "BIDSVersion": "1.9.0", "DatasetType": "derivative",
                   "GeneratedBy": [{"Name": "fMRIPrep", "Version": "24.1.1"}]}, f, indent=2)

    voxel = (2.5, 2.5, 2.5)
    affine = np.diag(voxel + (1.0,))
    affine[:3, 3] = [-(nx - 1) * voxel[0] / 2, -(ny - 1) * voxel[1] / 2, -(nz - 1) * voxel[2] / 2]
    x, y, z = np.meshgrid(np.linspace(-1, 1, nx), np.linspace(-1, 1, ny), np.linspace(-1, 1, nz), indexing="ij")
    head = (x ** 2 + y ** 2 + (z * 1.2) ** 2) < 0.8
    base = np.where(head, 900.0 + 200.0 * x, 20.0).astype(np.float32)
    rng = np.random.default_rng(7)

    header = nib.Nifti1Header()
    header.set_data_dtype(np.int16)
    header.set_data_shape((nx, ny, nz, nt))
    header.set_zooms(voxel + (2.0,))
    header.set_xyzt_units("mm", "sec")
    header.set_qform(affine, 1)
    header.set_sform(affine, 1)
    header["vox_offset"] = 352
    path = os.path.join(func, "sub-01_task-rest_bold.nii.gz")
    with gzip.open(path, "wb", compresslevel=6) as f:
        f.write(header.binaryblock)
        f.write(b"\0" * (352 - len(header.binaryblock)))
        for t in range(nt):
            volume = base * (1.0 + 0.002 * np.sin(t / 40.0)) + rng.normal(0.0, 8.0, base.shape).astype(np.float32)
            f.write(np.clip(np.rint(volume), -32768, 32767).astype("<i2").tobytes(order="F"))

    mean = nib.Nifti1Image(base, affine)
    mean.header.set_xyzt_units("mm")
    mean.set_qform(affine, 1)
    mean.set_sform(affine, 1)
    nib.save(mean, os.path.join(derived, "sub-01_task-rest_desc-hmc_boldref.nii.gz"))
    mask = nib.Nifti1Image(head.astype(np.uint8), affine)
    mask.set_qform(affine, 1)
    mask.set_sform(affine, 1)
    nib.save(mask, os.path.join(derived, "sub-01_task-rest_desc-brain_mask.nii.gz"))

    t = np.arange(nt)
    motion = np.stack([0.05 * np.sin(t / 30.0), 0.03 * np.cos(t / 50.0), 0.1 * t / nt,
                       0.001 * np.sin(t / 20.0), 0.0005 * np.cos(t / 25.0), 0.0008 * np.sin(t / 35.0)], axis=1)
    with open(os.path.join(derived, "sub-01_task-rest_desc-confounds_timeseries.tsv"), "w") as f:
        f.write("trans_x\ttrans_y\ttrans_z\trot_x\trot_y\trot_z\n")
        for row in motion:
            f.write("\t".join(repr(float(v)) for v in row) + "\n")
    print(f"wrote {path}: {nx} x {ny} x {nz} voxels, {nt} volumes of int16, "
          f"{os.path.getsize(path) / 1e6:.0f} MB gzipped, {nx * ny * nz * nt * 2 / 1e6:.0f} MB raw")


if __name__ == "__main__":
    main()
