#!/usr/bin/env bash
# Mutation testing: proves what the test suite catches. A development tool, not run by CI.
#
# Usage: scripts/mutants.sh [--list FILE] [--only NAME...] [--dry-run] [--work DIR]
#
# Every entry of the fault list (scripts/mutants.txt, one single-point fault a line: NAME, FILE,
# OLD, NEW, WHAT separated by tabs) is put into a scratch copy of the tree in turn: the copy is
# built and the suite runs against it. A fault the suite notices is "killed"; one it does not
# notice "survived" and points at a gap in the tests; one that does not compile is "broken" and
# says nothing about the tests; one whose OLD text is not found exactly once is "invalid".
#
# The scratch copy is a git worktree (default /tmp/veldon-mutants) of the current HEAD with the
# working-tree state of every tracked file copied over, so uncommitted changes are tested too
# (untracked files are not). Only files whose content differs are copied, so later runs build
# incrementally in DIR/build. The main tree and its build folders are never touched.
#
# How long it takes depends on the machine: the unmutated tree is built and the whole suite runs
# once first (it must pass: a failing suite can kill nothing), then each fault costs an incremental
# build (the mutated file and what links it) plus the suite up to its first failure; a survivor
# costs the whole suite. On a 2-core machine a full list takes hours; --only runs a few.
#
# Options:
#   --list FILE     the fault list (default: scripts/mutants.txt)
#   --only NAME...  run only the named faults
#   --dry-run       only check the list (unique names, files exist, OLD found exactly once,
#                   OLD differs from NEW) and print the count; builds and runs nothing
#   --work DIR      the scratch worktree (default: /tmp/veldon-mutants); the report goes to
#                   DIR/report.txt and the build and test output of each fault to DIR/mutant-logs/
set -euo pipefail

usage() {
    cat <<'EOF'
Usage: scripts/mutants.sh [--list FILE] [--only NAME...] [--dry-run] [--work DIR]
  --list FILE     the fault list (default: scripts/mutants.txt)
  --only NAME...  run only the named faults
  --dry-run       only check the list and print the count; builds and runs nothing
  --work DIR      the scratch worktree (default: /tmp/veldon-mutants)
EOF
}

fail() {
    echo "mutants: $*" >&2
    exit 1
}

usage_error() {
    echo "mutants: $*" >&2
    usage >&2
    exit 2
}

script_dir=$(cd "$(dirname "$0")" && pwd)
root=$(git -C "$script_dir" rev-parse --show-toplevel 2>/dev/null) ||
    fail "$script_dir is not inside a git working tree"
list="$root/scripts/mutants.txt"
work=/tmp/veldon-mutants
dry_run=0
only=()

while [ $# -gt 0 ]; do
    case $1 in
        --list)
            [ $# -ge 2 ] || usage_error "--list needs a file"
            list=$2
            shift 2
            ;;
        --work)
            [ $# -ge 2 ] || usage_error "--work needs a folder"
            work=$2
            shift 2
            ;;
        --dry-run)
            dry_run=1
            shift
            ;;
        --only)
            shift
            while [ $# -gt 0 ] && [[ $1 != --* ]]; do
                only+=("$1")
                shift
            done
            [ ${#only[@]} -gt 0 ] || usage_error "--only needs at least one fault name"
            ;;
        -h | --help)
            usage
            exit 0
            ;;
        *)
            usage_error "unknown argument: $1"
            ;;
    esac
done

command -v perl >/dev/null || fail "perl is needed (it applies the faults literally)"
[ -f "$list" ] || fail "no fault list $list"
list=$(cd "$(dirname "$list")" && pwd)/$(basename "$list")
case $work in
    /*) ;;
    *) work=$PWD/$work ;;
esac
work=${work%/}

tab=$'\t'

# ---- The fault list ----------------------------------------------------------------------------

names=() files=() olds=() news=() whats=() lines=() problems=()

# Reads the list into the arrays above; an entry that cannot be used gets its reason in problems.
read_list() {
    local line number=0 fields rest name file old new what
    local -A seen=()
    while IFS= read -r line || [ -n "$line" ]; do
        number=$((number + 1))
        line=${line%$'\r'}
        if [[ -z ${line//[[:space:]]/} || $line == '#'* ]]; then
            continue
        fi
        fields=${line//[!$tab]/}
        rest=$line
        name=${rest%%"$tab"*}
        rest=${rest#*"$tab"}
        file=${rest%%"$tab"*}
        rest=${rest#*"$tab"}
        old=${rest%%"$tab"*}
        rest=${rest#*"$tab"}
        new=${rest%%"$tab"*}
        what=${rest#*"$tab"}
        local problem=""
        if [ ${#fields} -ne 4 ]; then
            problem="expected 5 tab-separated fields, found $((${#fields} + 1))"
            [[ ${#fields} -gt 0 && $name =~ ^[A-Za-z0-9][A-Za-z0-9._-]*$ ]] || name="line-$number"
        elif ! [[ $name =~ ^[A-Za-z0-9][A-Za-z0-9._-]*$ ]]; then
            problem="the name is empty or holds characters other than letters, digits, . _ -"
            name="line-$number"
        elif [ -n "${seen[$name]:-}" ]; then
            problem="the name was used already on line ${seen[$name]}"
        elif [ -z "$file" ] || [[ $file == /* || /$file/ == */../* ]]; then
            problem="FILE must be a path inside the repository"
        elif [ -z "$old" ]; then
            problem="OLD is empty"
        elif [ "$old" = "$new" ]; then
            problem="OLD and NEW are the same"
        elif [ -z "$what" ]; then
            problem="WHAT is empty"
        fi
        [ -n "${seen[$name]:-}" ] || seen[$name]=$number
        names+=("$name")
        files+=("$file")
        olds+=("$old")
        news+=("$new")
        whats+=("$what")
        lines+=("$number")
        problems+=("$problem")
    done <"$list"
}

# How often OLD (the environment's) occurs in a file, overlapping occurrences counted.
occurrences() {
    OLD=$1 perl -0777 -ne 'BEGIN { $n = 0 } $n += () = /(?=\Q$ENV{OLD}\E)/g; END { print $n }' "$2"
}

# Why fault $1 cannot be applied to the tree at $2, or nothing when it can.
check_fault() {
    local i=$1 base=$2 count
    if [ -n "${problems[$i]}" ]; then
        echo "${problems[$i]}"
        return
    fi
    if [ ! -f "$base/${files[$i]}" ]; then
        echo "no file ${files[$i]}"
        return
    fi
    count=$(occurrences "${olds[$i]}" "$base/${files[$i]}")
    if [ "$count" != 1 ]; then
        echo "OLD occurs $count times in ${files[$i]}, not once"
    fi
}

read_list
[ ${#names[@]} -gt 0 ] || fail "no faults in $list"

# The faults to run: all, or those named by --only (each must exist).
selected=()
if [ ${#only[@]} -eq 0 ]; then
    selected=("${!names[@]}")
else
    for wanted in "${only[@]}"; do
        found=""
        for i in "${!names[@]}"; do
            if [ "${names[$i]}" = "$wanted" ]; then
                found=$i
                break
            fi
        done
        [ -n "$found" ] || fail "no fault named $wanted in $list"
        selected+=("$found")
    done
fi

if [ "$dry_run" = 1 ]; then
    bad=0
    for i in "${!names[@]}"; do
        why=$(check_fault "$i" "$root")
        if [ -n "$why" ]; then
            echo "invalid  ${names[$i]} (line ${lines[$i]}): $why"
            bad=$((bad + 1))
        fi
    done
    if [ "$bad" -gt 0 ]; then
        echo "${#names[@]} faults in $list, $bad invalid"
        exit 1
    fi
    echo "${#names[@]} faults in $list, all valid"
    [ ${#only[@]} -eq 0 ] || echo "${#selected[@]} selected by --only"
    exit 0
fi

# ---- The scratch worktree ----------------------------------------------------------------------

[ "$work" != "$root" ] || fail "the scratch worktree cannot be the repository itself"
build=$work/build
logs=$work/mutant-logs
report=$work/report.txt

executable() {
    if [ -x "$1" ]; then echo yes; else echo no; fi
}

# Makes $work a worktree of this repository holding what the main tree holds now.
sync_worktree() {
    local common head path src dst
    common=$(git -C "$root" rev-parse --path-format=absolute --git-common-dir)
    if [ ! -e "$work/.git" ]; then
        if [ -e "$work" ] && [ -n "$(find "$work" -mindepth 1 -maxdepth 1 -print -quit)" ]; then
            fail "$work exists and is no worktree: choose another --work"
        fi
        git -C "$root" worktree prune
        git -C "$root" worktree add --quiet --detach "$work" HEAD
    fi
    [ "$(git -C "$work" rev-parse --path-format=absolute --git-common-dir)" = "$common" ] ||
        fail "$work is a worktree of another repository: choose another --work"
    head=$(git -C "$root" rev-parse HEAD)

    # Each tracked file as the main tree has it now, copied only when it differs, so that make
    # sees unchanged files as unchanged.
    local -A tracked=()
    while IFS= read -r -d '' path; do
        tracked[$path]=1
        src=$root/$path
        dst=$work/$path
        if [ -L "$src" ]; then
            if [ ! -L "$dst" ] || [ "$(readlink "$src")" != "$(readlink "$dst")" ]; then
                mkdir -p "$(dirname "$dst")"
                rm -rf "$dst"
                ln -s "$(readlink "$src")" "$dst"
            fi
        elif [ -f "$src" ]; then
            if [ -L "$dst" ] || ! cmp -s "$src" "$dst"; then
                mkdir -p "$(dirname "$dst")"
                rm -f "$dst"
                cp --preserve=mode "$src" "$dst"
            elif [ "$(executable "$src")" != "$(executable "$dst")" ]; then
                chmod --reference="$src" "$dst"
            fi
        elif [ ! -e "$src" ] && { [ -f "$dst" ] || [ -L "$dst" ]; }; then
            rm -f "$dst"  # deleted in the main tree, not yet committed
        fi
    done < <(git -C "$root" ls-files -z)
    # Files the worktree's last commit held that the main tree no longer tracks.
    while IFS= read -r -d '' path; do
        if [ -z "${tracked[$path]:-}" ] && { [ -f "$work/$path" ] || [ -L "$work/$path" ]; }; then
            rm -f "$work/$path"
        fi
    done < <(git -C "$work" ls-files -z)
    # The worktree's index follows HEAD; its files stay as copied above.
    git -C "$work" reset --quiet "$head"
}

# ---- Building and testing ----------------------------------------------------------------------

# Builds into $build, output to $1; false when the build fails.
build_tree() {
    : >"$1"
    if [ ! -f "$build/CMakeCache.txt" ]; then
        # Release without debug information: each fault relinks every test program, and that is
        # most of an incremental build.
        if ! cmake -S "$work" -B "$build" -DCMAKE_BUILD_TYPE=Release \
            -DVELDON_BUILD_BENCH=ON >>"$1" 2>&1; then
            return 1
        fi
    fi
    cmake --build "$build" -j2 >>"$1" 2>&1
}

# Runs the suite, output to $1; false when a test fails.
run_suite() {
    # Without the costs of earlier runs ctest takes the tests in the order they are declared, the
    # quick unit tests first, so that most faults are killed in seconds instead of after the
    # longest end-to-end tests.
    rm -f "$build/Testing/Temporary/CTestCostData.txt"
    ctest --test-dir "$build" -j2 --stop-on-failure --timeout 300 >"$1" 2>&1
}

# The first test ctest lists as failed in log $1, "?" when it names none.
first_failure() {
    local name
    name=$(sed -n '/The following tests FAILED:/{n;p;q;}' "$1" |
        sed -E 's/^[[:space:]]*[0-9]+ - //; s/ \([^)]*\)[[:space:]]*$//')
    echo "${name:-?}"
}

# ---- Applying and restoring a fault ------------------------------------------------------------

saved=$(mktemp)
mutated=""  # the worktree file holding a fault now, if any

restore() {
    if [ -n "$mutated" ]; then
        # A fresh modification time, so that the next build recompiles the restored file.
        cp --preserve=mode "$saved" "$mutated"
        touch "$mutated"
        mutated=""
    fi
}

finish() {
    restore
    rm -f "$saved"
}
trap finish EXIT
trap 'echo "mutants: interrupted" >&2; exit 130' INT TERM

# ---- The run -----------------------------------------------------------------------------------

mkdir -p "$(dirname "$work")"
echo "== Syncing $work with the main tree"
sync_worktree
mkdir -p "$logs"
: >"$report"

say() {
    echo "$@"
    echo "$@" >>"$report"
}

state=$(git -C "$root" rev-parse --short HEAD)
git -C "$root" diff --quiet HEAD -- || state="$state with uncommitted changes"
say "mutants: $(date '+%Y-%m-%d %H:%M'), $state, ${#selected[@]} of ${#names[@]} faults from $list"

echo "== Building the unmutated tree in $build"
started=$(date +%s)
build_tree "$logs/baseline.build.log" ||
    fail "the unmutated tree does not build: see $logs/baseline.build.log"
built=$(($(date +%s) - started))
echo "== Running the suite on the unmutated tree"
started=$(date +%s)
if ! run_suite "$logs/baseline.test.log"; then
    fail "the suite fails without any fault ($(first_failure "$logs/baseline.test.log")):" \
        "a failing suite can kill nothing; see $logs/baseline.test.log"
fi
say "baseline: built in ${built} s, the suite passed in $(($(date +%s) - started)) s"
say ""
say "$(printf '%-36s %-9s %7s  %s' fault verdict seconds "first failing test")"

killed=0 survived=0 broken=0 invalid=0
survivors=() notes=()
for i in "${selected[@]}"; do
    name=${names[$i]}
    target=$work/${files[$i]}
    started=$(date +%s)
    verdict="" first="-"
    why=$(check_fault "$i" "$work")
    if [ -n "$why" ]; then
        verdict=invalid
        notes+=("$name: $why")
    else
        cp --preserve=mode "$target" "$saved"
        mutated=$target
        OLD=${olds[$i]} NEW=${news[$i]} perl -0777 -pi -e 's/\Q$ENV{OLD}\E/$ENV{NEW}/' "$target"
        if cmp -s "$saved" "$target"; then
            verdict=invalid
            notes+=("$name: the replacement changed nothing")
        elif ! build_tree "$logs/$name.build.log"; then
            verdict=broken
            notes+=("$name: does not compile, see $logs/$name.build.log")
        elif run_suite "$logs/$name.test.log"; then
            verdict=survived
            survivors+=("$name (${files[$i]}): ${whats[$i]}")
        else
            verdict=killed
            first=$(first_failure "$logs/$name.test.log")
        fi
        restore
    fi
    case $verdict in
        killed) killed=$((killed + 1)) ;;
        survived) survived=$((survived + 1)) ;;
        broken) broken=$((broken + 1)) ;;
        invalid) invalid=$((invalid + 1)) ;;
    esac
    say "$(printf '%-36s %-9s %7s  %s' "$name" "$verdict" "$(($(date +%s) - started))" "$first")"
done

say ""
say "killed $killed, survived $survived, broken $broken, invalid $invalid"
# A titled list of the arguments after the first, when there are any.
say_list() {
    [ $# -gt 1 ] || return 0
    say ""
    say "$1"
    shift
    for item in "$@"; do
        say "  $item"
    done
}
say_list "Survivors (faults the suite does not notice):" "${survivors[@]}"
say_list "Broken and invalid:" "${notes[@]}"
echo "report: $report"

# Leave the build folder without a fault in it.
if [ $((killed + survived + broken)) -gt 0 ]; then
    echo "== Rebuilding the unmutated tree"
    build_tree "$logs/final.build.log" || echo "mutants: see $logs/final.build.log" >&2
fi
