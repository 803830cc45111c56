#!/usr/bin/env bash
# Runs a long sequence as one-step runs, one per time step, spread by GNU parallel over the cores
# of this machine and, with --sshlogin / --sshloginfile, over other machines. The results are
# those of the single run: every time step starts its fields afresh, and each step writes its
# files next to its t images, named after them.
#
# A joblog records the finished steps: run the same command again after an interruption or a
# failure and only the failed and missing steps run. Each step's standard output and error are
# kept in its step folder (stdout.log, stderr.log). Exit status 0 when every step succeeded.
set -uo pipefail

usage() {
    cat <<'EOF'
usage: run_parallel.sh [-j N] [-S LOGIN]... [--sshloginfile FILE]... [--steps DIR]
                       [--ssh COMMAND] [--base-dir DIR] [--program PATH] [--splitter PATH]
                       [--fresh]
                       -- [options of optic_flow_3DMultilayers]

Splits the run described by the program options (-inImage, -inDensity, -nbTimeSample,
-nbLayers, as for a single run started from the current directory) into one folder per time
step under DIR, then runs every step with the remaining program options. Each step runs with
-threads 1 unless the program options give -threads.

  -j, --jobs N          steps at once on each machine (default: one per core)
  -S, --sshlogin LOGIN  run steps on LOGIN (GNU parallel syntax: [ncpus/][user@]host; ":" is
                        this machine, which takes no step unless listed); repeatable,
                        comma-separated lists allowed
  --sshloginfile FILE   machines listed in FILE (GNU parallel syntax); repeatable
  --ssh COMMAND         command that reaches the machines (default ssh), e.g. "ssh -p 2222";
                        give ssh options here, not inside LOGIN, so that the joblog stays readable
  --steps DIR           folder of the step folders and the joblog (default ./steps)
  --base-dir DIR        folder that relative image paths are resolved against (default: the
                        current directory)
  --program PATH        the estimator (default: $OF3D_PROGRAM, else the one installed beside
                        this script, else build/bin of its source tree, else
                        optic_flow_3DMultilayers on the PATH)
  --splitter PATH       the step splitter (default: $OF3D_SPLITTER, else beside this script,
                        else build/bin of its source tree, else split_sequence on the PATH)
  --fresh               forget the joblog and run every step again

Other machines must see the images, the step folders and the program under the same paths
(a shared file system).

Run the same command again after an interruption or failed steps: only the steps that did not
finish run. Ctrl-C or SIGTERM stops the running steps at once; SIGHUP lets them finish and
starts no new one. Exit status 0 when every step is done, 1 otherwise, 2 on a usage error.
EOF
}

die() {
    echo "run_parallel.sh: $*" >&2
    exit 2
}

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# The tool `name`: the given path, else $envvar, else beside this script (the installed layout:
# bin/optic_flow_3D_run_parallel), else build/bin of the source tree (scripts/run_parallel.sh),
# else the PATH.
find_tool() {
    local given="$1" envval="$2" name="$3"
    if [ -n "$given" ]; then
        echo "$given"
    elif [ -n "$envval" ]; then
        echo "$envval"
    elif [ -x "$here/$name" ]; then
        echo "$here/$name"
    elif [ -x "$here/../build/bin/$name" ]; then
        echo "$here/../build/bin/$name"
    else
        command -v "$name" || die "cannot find $name (give its path with --program/--splitter)"
    fi
}

jobs="100%"
steps="./steps"
base_dir="."
program=""
splitter=""
fresh=0
remote=()
while [ $# -gt 0 ]; do
    case "$1" in
        -h | --help) usage; exit 0 ;;
        -j | --jobs) [ $# -ge 2 ] || die "$1 needs a value"; jobs="$2"; shift 2 ;;
        -j*) jobs="${1#-j}"; shift ;;
        -S | --sshlogin) [ $# -ge 2 ] || die "$1 needs a value"; remote+=(--sshlogin "$2"); shift 2 ;;
        --sshloginfile | --slf) [ $# -ge 2 ] || die "$1 needs a value"; remote+=(--sshloginfile "$2"); shift 2 ;;
        --ssh) [ $# -ge 2 ] || die "$1 needs a value"; remote+=(--ssh "$2"); shift 2 ;;
        --steps) [ $# -ge 2 ] || die "$1 needs a value"; steps="$2"; shift 2 ;;
        --base-dir) [ $# -ge 2 ] || die "$1 needs a value"; base_dir="$2"; shift 2 ;;
        --program) [ $# -ge 2 ] || die "$1 needs a value"; program="$2"; shift 2 ;;
        --splitter) [ $# -ge 2 ] || die "$1 needs a value"; splitter="$2"; shift 2 ;;
        --fresh) fresh=1; shift ;;
        --) shift; break ;;
        *) die "unknown option $1 (program options go after --; see --help)" ;;
    esac
done
opts=("$@")
for o in "${opts[@]}"; do
    [ "$o" != -h ] || die "-h would print the program's usage in every step: run it alone"
done

command -v parallel >/dev/null || die "GNU parallel is not installed (apt-get install parallel)"
# The step command is bash (printf %q quoting, 2> redirection). GNU parallel runs commands with
# $SHELL here and with the login's $SHELL on other machines, which may be csh, or unset (then a
# remote step runs nothing and counts as a success), so the shell is named here.
export PARALLEL_SHELL="${PARALLEL_SHELL:-/bin/bash}"
program="$(find_tool "$program" "${OF3D_PROGRAM:-}" optic_flow_3DMultilayers)"
splitter="$(find_tool "$splitter" "${OF3D_SPLITTER:-}" split_sequence)"
# Absolute, so that the command works from the step folders and on other machines.
case "$program" in /*) ;; */*) program="$PWD/$program" ;; esac
[ -x "$program" ] || die "the program $program is not executable"

# One run at a time per steps folder: the joblog and the step folders are shared.
mkdir -p "$steps" || die "cannot create $steps"
exec 9>"$steps/.lock"
flock -n 9 || die "another run_parallel.sh is running on $steps"
"$splitter" -outDir "$steps" -baseDir "$base_dir" "${opts[@]}" || die "splitting the sequence failed"
steps="$(cd "$steps" && pwd)"
[ -s "$steps/steps.txt" ] || die "no steps were written to $steps"
joblog="$steps/joblog.txt"
mapfile -t step_dirs <"$steps/steps.txt"
mapfile -t step_args <"$steps/step_args.txt"
nb_steps=${#step_dirs[@]}

# The joblog lists finished steps by number; it is kept only for the same steps and options.
fingerprint="$(
    {
        cat "$steps/steps.txt" "$steps/step_args.txt"
        for d in "${step_dirs[@]}"; do cat "$d/inImage_3D.txt" "$d/inDensity.txt"; done
        printf '%s\0' "$program" "${opts[@]}"
    } | sha256sum | cut -d' ' -f1
)"
if [ -f "$joblog" ]; then
    if [ "$fresh" = 1 ]; then
        mv -f "$joblog" "$joblog.old"
    elif [ "$(cat "$steps/fingerprint.txt" 2>/dev/null)" != "$fingerprint" ]; then
        echo "run_parallel.sh: the steps or options changed since $joblog was written;" \
            "running every step (old joblog kept as $joblog.old)"
        mv -f "$joblog" "$joblog.old"
    fi
fi
echo "$fingerprint" >"$steps/fingerprint.txt"

# One step: the program in the step folder, its console output kept there. The steps share
# the cores, so each runs one thread unless the options say otherwise (the first -threads wins).
step_command="cd {} && exec $(printf '%q ' "$program" "${step_args[@]}" "${opts[@]}" -threads 1)"
step_command+=">stdout.log 2>stderr.log"

progress=()
[ -t 1 ] && progress=(--bar)
# GNU parallel runs in the background so that signals reach it: INT and TERM stop the running
# steps at once (they run again next time), HUP lets them finish but starts no new one.
parallel --will-cite --joblog "$joblog" --resume-failed -j "$jobs" "${remote[@]}" \
    "${progress[@]}" "$step_command" :::: "$steps/steps.txt" </dev/null 9>&- &
parallel_pid=$!
trap 'kill -TERM "$parallel_pid" 2>/dev/null' INT TERM
trap 'kill -HUP "$parallel_pid" 2>/dev/null' HUP
while kill -0 "$parallel_pid" 2>/dev/null; do wait "$parallel_pid"; done
trap - INT TERM HUP

# The last joblog entry of each step decides: columns Seq, Host, Starttime, JobRuntime, Send,
# Receive, Exitval, Signal, Command.
declare -A exitval signal
while IFS=$'\t' read -r seq _ _ _ _ _ ev sg _; do
    [[ "$seq" =~ ^[0-9]+$ ]] || continue
    exitval[$seq]="$ev"
    signal[$seq]="$sg"
done < <(cat "$joblog" 2>/dev/null)

failed=0
report=""
for ((n = 1; n <= nb_steps; n++)); do
    dir="${step_dirs[n - 1]}"
    if [ -z "${exitval[$n]+x}" ]; then
        why="did not finish"
    elif [ "${signal[$n]}" != 0 ]; then
        why="killed by signal ${signal[$n]}"
    elif [ "${exitval[$n]}" != 0 ]; then
        why="exit status ${exitval[$n]}"
    else
        continue
    fi
    failed=$((failed + 1))
    report+="  step $n ($why): $dir"$'\n'
    report+="    $dir/stdout.log"$'\n'"    $dir/stderr.log"$'\n'
done

echo "run_parallel.sh: $((nb_steps - failed)) of $nb_steps time steps done (joblog $joblog)"
if [ "$failed" -gt 0 ]; then
    echo "run_parallel.sh: $failed time steps failed or did not finish:"
    printf '%s' "$report"
    echo "run_parallel.sh: run the same command again to run only these steps"
    exit 1
fi
exit 0
