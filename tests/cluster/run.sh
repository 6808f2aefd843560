#!/usr/bin/env bash
# make test-cluster: a one-node SLURM on this machine (Debian's munge,
# slurmctld and slurmd, run as root from a minimal configuration in a
# temporary folder, on free private ports), then the Snakemake workflow on the
# sample study through the SLURM profile, once with a job per participant
# and once with the participants grouped into one job. Its outputs must be those of
# tremora bids run directly, byte for byte, and every job must have gone
# through SLURM. The daemons are stopped by their process ids at the end.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)
tremora="$build/bin/tremora"
[ "$(id -u)" -eq 0 ] || { echo "test-cluster: the SLURM daemons are started as root; run it as root" >&2; exit 1; }
for program in munged slurmctld slurmd sbatch scontrol snakemake; do
  command -v "$program" >/dev/null || { echo "test-cluster: $program is missing (make deps-cluster)" >&2; exit 1; }; done

tmp=$(mktemp -d /tmp/tremora-cluster-XXXXXX)
pids=()
finish() {
  local status=$?
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ $status -ne 0 ]; then
    echo "test-cluster: failed; the daemons' logs:" >&2
    tail -n 20 "$tmp"/*.log "$tmp"/munge/*.log 2>/dev/null >&2 || true
  fi
  [ -n "${TREMORA_KEEP_TEST_FILES:-}" ] || rm -rf "$tmp"
}
trap finish EXIT
start=$(date +%s)

read -r ctldport slurmdport < <(python3 -c 'import socket
s = [socket.socket() for _ in range(2)]; [x.bind(("127.0.0.1", 0)) for x in s]; print(*(x.getsockname()[1] for x in s))')
host=$(hostname -s)
cores=$(nproc)
memory=$(( $(awk '/MemTotal/ {print $2}' /proc/meminfo) / 1024 - 1024 ))

mkdir -p -m 700 "$tmp/munge" && mkdir -p "$tmp/state" "$tmp/spool" "$tmp/work"
head -c 1024 /dev/urandom > "$tmp/munge/munge.key"
chmod 400 "$tmp/munge/munge.key"
munged --foreground --force --key-file="$tmp/munge/munge.key" --socket="$tmp/munge/munge.socket" \
  --pid-file="$tmp/munge/munged.pid" --log-file="$tmp/munge/munged.log" --seed-file="$tmp/munge/munged.seed" \
  >"$tmp/munge/munged.out" 2>&1 &
pids+=($!)

cat > "$tmp/slurm.conf" <<CONF
ClusterName=tremoratest
SlurmctldHost=$host
SlurmctldPort=$ctldport
SlurmdPort=$slurmdport
AuthInfo=socket=$tmp/munge/munge.socket
StateSaveLocation=$tmp/state
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/slurmctld.pid
SlurmdPidFile=$tmp/slurmd.pid
SlurmctldLogFile=$tmp/slurmctld.log
SlurmdLogFile=$tmp/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
MinJobAge=3600
NodeName=$host CPUs=$cores RealMemory=$memory State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF="$tmp/slurm.conf"
for waited in $(seq 50); do [ -S "$tmp/munge/munge.socket" ] && break; sleep 0.2; done
slurmctld -D -f "$SLURM_CONF" >"$tmp/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -f "$SLURM_CONF" -N "$host" >"$tmp/slurmd.out" 2>&1 &
pids+=($!)
for waited in $(seq 60); do
  scontrol show node "$host" 2>/dev/null | grep -q 'State=IDLE' && break
  sleep 1
done
scontrol show node "$host" | grep -q 'State=IDLE' || { echo "test-cluster: the node did not come up" >&2; exit 1; }
echo "test-cluster: SLURM up on $host (ports $ctldport, $slurmdport, $cores cores) after $(( $(date +%s) - start )) s"

cd "$tmp/work"
"$tremora" synth --bids study --participants 2 >/dev/null
"$tremora" bids study direct participant --jobs 2 >/dev/null
"$tremora" bids study direct group >/dev/null
snakemake -s "$src/workflow/Snakefile" --profile "$src/workflow/profiles/slurm" \
  --config bids_dir=study output_dir=cluster tremora="$tremora" threads=1 >snakemake.log 2>&1 \
  || { tail -n 30 snakemake.log >&2; exit 1; }

failed=0
check() { "$@" || { failed=$((failed + 1)); echo "test-cluster: FAILED: $*" >&2; }; }
# Three jobs (two participants, then the group) went through SLURM and completed.
jobs=$(scontrol show job --oneliner)
check [ "$(grep -c 'JobState=COMPLETED' <<<"$jobs" || true)" -eq 3 ]
check [ "$(grep -c 'JobName=tremora-participant ' <<<"$jobs" || true)" -eq 2 ]
check diff -r direct cluster

# Grouped for a site that limits its job count: both participants in one SLURM job.
snakemake -s "$src/workflow/Snakefile" --profile "$src/workflow/profiles/slurm" --group-components batch=2 --cores 1 \
  --config bids_dir=study output_dir=grouped tremora="$tremora" threads=1 group=batch >grouped.log 2>&1 \
  || { tail -n 30 grouped.log >&2; exit 1; }
jobs=$(scontrol show job --oneliner)
check [ "$(grep -c 'JobState=COMPLETED' <<<"$jobs" || true)" -eq 5 ]
check [ "$(grep -c 'JobName=tremora-GROUP ' <<<"$jobs" || true)" -eq 1 ]
check diff -r direct grouped
echo "test-cluster: $(( $(date +%s) - start )) s in all, $failed checks failed"
[ "$failed" -eq 0 ]
