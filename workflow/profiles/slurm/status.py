#!/usr/bin/env python3
"""The state of a SLURM job for Snakemake's --cluster-status: prints running,
success or failed for the job id given.

It asks scontrol (slurmctld keeps a finished job for MinJobAge seconds), then
squeue, then sacct where the site keeps accounting. A job none of them knows
any more is reported as success: Snakemake then checks that the job's outputs
are there and fails the job when they are not."""
import subprocess
import sys
import time

RUNNING = {"PENDING", "CONFIGURING", "RUNNING", "COMPLETING", "REQUEUED", "REQUEUE_HOLD", "REQUEUE_FED",
           "RESIZING", "SUSPENDED", "STAGE_OUT", "SIGNALING", "STOPPED", "RESV_DEL_HOLD", "POWER_UP_NODE"}
SUCCESS = {"COMPLETED"}


def ask(words):
    try:
        result = subprocess.run(words, capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return result.stdout if result.returncode == 0 else None


def state(job):
    out = ask(["scontrol", "show", "job", "--oneliner", job])
    if out:
        for word in out.split():
            if word.startswith("JobState="):
                return word.split("=", 1)[1]
    out = ask(["squeue", "--noheader", "--jobs", job, "--format", "%T"])
    if out and out.strip():
        return out.split()[0]
    out = ask(["sacct", "--noheader", "--allocations", "--parsable2", "--jobs", job, "--format", "State"])
    if out and out.strip():
        return out.split()[0]  # "CANCELLED by 0" is CANCELLED
    return None


def main():
    job = sys.argv[1].split(";")[0]
    for attempt in range(3):
        found = state(job)
        if found is not None:
            break
        time.sleep(2)
    if found is None or found in SUCCESS:
        print("success")
    elif found in RUNNING:
        print("running")
    else:
        print("failed")


if __name__ == "__main__":
    main()
