#!/usr/bin/env bash
# Opt-in end-to-end check of scripts/slurm_array.sbatch (not part of the default test run).
# Starts a one-node Slurm cluster on this machine (munged, slurmctld and slurmd on 127.0.0.1,
# with a private configuration, state and ports under a temporary folder), runs a sequence of
# 3 layers and 5 time samples once as a single run and once as a job array of its 4 steps, and
# checks that the result files are the same, byte for byte; then checks that a failing step
# fails its array task and names its logs. Stops every daemon it started.
# Needs root (the daemons) and the Debian packages slurm-wlm and munge, installed if missing.
#
# usage: scripts/test_slurm.sh [BUILD_DIR]    (default: build; needs bin/optic_flow_3DMultilayers,
#                                              bin/split_sequence and bin/make_layered_sample)
set -euo pipefail

src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$src/build}" && pwd)"
for t in optic_flow_3DMultilayers split_sequence make_layered_sample; do
    [ -x "$build/bin/$t" ] || { echo "test_slurm.sh: build $build/bin/$t first" >&2; exit 2; }
done
[ "$(id -u)" -eq 0 ] || { echo "test_slurm.sh: the Slurm and munge daemons need root" >&2; exit 2; }
if ! command -v slurmctld >/dev/null || ! command -v munged >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq slurm-wlm munge >/dev/null
fi

work="$(mktemp -d /tmp/of3d_slurm.XXXXXX)"
started_munged=0
cleanup() {
    for pidfile in "$work/slurmd.pid" "$work/slurmctld.pid"; do
        if [ -f "$pidfile" ]; then kill "$(cat "$pidfile")" 2>/dev/null || true; fi
    done
    if [ "$started_munged" = 1 ]; then munged --stop >/dev/null 2>&1 || true; fi
    if [ "${KEEP:-0}" = 1 ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# munge: the system's daemon if one answers, else one started here with the packaged key.
if ! munge -n 2>/dev/null | unmunge >/dev/null 2>&1; then
    [ -f /etc/munge/munge.key ] || mungekey --create
    chown munge:munge /etc/munge/munge.key
    mkdir -p /run/munge /var/log/munge /var/lib/munge
    chown munge:munge /run/munge /var/log/munge /var/lib/munge
    runuser -u munge -- munged
    started_munged=1
fi

host="$(hostname -s)"
port=$((20000 + RANDOM % 20000))
mkdir -p "$work/state" "$work/spool"
cat >"$work/slurm.conf" <<EOF
ClusterName=of3dtest
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
MpiDefault=none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
NodeName=$host NodeAddr=127.0.0.1 CPUs=$(nproc) RealMemory=1000 State=UNKNOWN
PartitionName=of3d Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF="$work/slurm.conf"
slurmctld
slurmd -N "$host"
for _ in $(seq 60); do
    sinfo -h -o %t 2>/dev/null | grep -q idle && break
    sleep 0.5
done
sinfo -h -o %t | grep -q idle || { echo "test_slurm.sh: the node did not come up" >&2; cat "$work"/*.log >&2; exit 1; }

failures=0
passed=0
# check NAME STATUS: one line per check, STATUS 0 for success.
check() {
    if [ "$2" -eq 0 ]; then
        echo "ok: $1"
        passed=$((passed + 1))
    else
        echo "FAILED: $1"
        failures=$((failures + 1))
    fi
}

options=(-nbTimeSample 5 -nbLayers 3 -coarseGrid 2)
"$build/bin/make_layered_sample" -o "$work/single" -size 32 -layers 3 -samples 5 >/dev/null
cp -r "$work/single" "$work/array"
(cd "$work/single" && "$build/bin/optic_flow_3DMultilayers" "${options[@]}" >run.log 2>&1)
(cd "$work/array" && "$build/bin/split_sequence" -outDir steps "${options[@]}" >/dev/null)

export OF3D_PROGRAM="$build/bin/optic_flow_3DMultilayers"
status=0
sbatch --wait --quiet --array=1-4 --chdir="$work/array" "$src/scripts/slurm_array.sbatch" steps \
    -coarseGrid 2 || status=$?
check "the job array of 4 steps succeeds" "$status"

status=0
count=0
for f in "$work"/single/*_3D.xaf "$work"/single/*_3D.motion*; do
    count=$((count + 1))
    if ! cmp -s "$f" "$work/array/$(basename "$f")"; then
        echo "differs: $(basename "$f")"
        status=1
    fi
done
[ "$count" -eq 40 ] || status=1
check "its 40 result files are those of the single run" "$status"
count="$(find "$work/array" -maxdepth 1 \( -name '*_3D.xaf' -o -name '*_3D.motion*' \) | wc -l)"
check "and no other result file" "$([ "$count" -eq 40 ]; echo $?)"
status=0
for s in "$work"/array/steps/step_000{1..4}; do
    tail -n1 "$s/stdout.log" | grep -q "^Processing time duration" || status=1
done
check "each step kept its console output in its folder" "$status"

mv "$work/array/layer0_t4.pgm" "$work/array/layer0_t4.away"
status=0
sbatch --wait --quiet --array=4 --chdir="$work/array" "$src/scripts/slurm_array.sbatch" steps \
    -coarseGrid 2 || status=$?
check "a step with a missing image fails its task" "$([ "$status" -ne 0 ]; echo $?)"
status=0
grep -q "step 4 failed (exit status 1): see $work/array/steps/step_0004/stdout.log" \
    "$work"/array/slurm-*_4.out || status=1
check "the task output names the step logs" "$status"

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
