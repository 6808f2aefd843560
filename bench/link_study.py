#!/usr/bin/env python3
"""A study of N participants made of links to one participant's files, for
the scale benchmarks (discovery, the workflow's plan, the group level).

    bench/link_study.py STUDY OUT N DEST_STUDY DEST_OUT

STUDY is a study of one participant, sub-01 (tremora synth --bids), and OUT
its participant-level outputs (tremora bids STUDY OUT participant). Every file
of sub-01, raw, fMRIPrep's derivatives and our outputs, is linked under the
name of each of N participants (sub-00001 ...), of our outputs those the
group level reads; the top-level files are copied. Nothing is computed: what is measured is how the tools scale with the
number of files they walk and read, as in a study of that size.
"""
import os
import shutil
import sys


# The outputs the group level reads (the maps but one are not read).
READ_BY_GROUP = ("_provenance.json", "_status.json", "_timeseries.tsv", "_timeseries.json",
                 "desc-maxabs_displacement.nii.gz", "_report.html")


def link_tree(source, dest, old, new, keep=None):
    for folder, _, files in os.walk(source):
        rel = os.path.relpath(folder, source)
        target = os.path.join(dest, rel.replace(old, new)) if rel != "." else dest
        os.makedirs(target, exist_ok=True)
        for name in files:
            if keep and not name.endswith(keep):
                continue
            os.symlink(os.path.join(folder, name), os.path.join(target, name.replace(old, new)))


def main():
    study, out, dest_study, dest_out = (os.path.abspath(p) for p in (sys.argv[1], sys.argv[2], sys.argv[4], sys.argv[5]))
    n = int(sys.argv[3])
    for d in (dest_study, dest_out):
        if os.path.exists(d):
            shutil.rmtree(d)
    os.makedirs(os.path.join(dest_study, "derivatives", "fmriprep"))
    os.makedirs(dest_out)
    for name in os.listdir(study):
        if os.path.isfile(os.path.join(study, name)) and name != "participants.tsv":
            shutil.copy(os.path.join(study, name), dest_study)
    shutil.copy(os.path.join(study, "derivatives", "fmriprep", "dataset_description.json"),
                os.path.join(dest_study, "derivatives", "fmriprep"))
    shutil.copy(os.path.join(out, "dataset_description.json"), dest_out)
    labels = [f"sub-{k:05d}" for k in range(1, n + 1)]
    with open(os.path.join(dest_study, "participants.tsv"), "w") as f:
        f.write("participant_id\n" + "\n".join(labels) + "\n")
    for label in labels:
        link_tree(os.path.join(study, "sub-01"), os.path.join(dest_study, label), "sub-01", label)
        link_tree(os.path.join(study, "derivatives", "fmriprep", "sub-01"),
                  os.path.join(dest_study, "derivatives", "fmriprep", label), "sub-01", label)
        link_tree(os.path.join(out, "sub-01"), os.path.join(dest_out, label), "sub-01", label, READ_BY_GROUP)


if __name__ == "__main__":
    main()
