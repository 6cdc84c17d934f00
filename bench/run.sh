#!/usr/bin/env bash
# Benchmark dump_timers against the floor (/bin/true, the cost of a bare
# process) and against what a user would type instead (od, xxd), all on the
# same 896-byte dump with half the slots in use; and the views (--json,
# --lists) against the plain report. Prints a Markdown table.
#
#   bash bench/run.sh            # full run: 20 rounds of 150 runs per command
#   bash bench/run.sh --quick    # a smoke run: 2 rounds of 20 runs
#
# Wall time: hyperfine, every round running the six commands in turn, so
# they alternate and share the machine's moods; each command's figure is the
# median over rounds of its per-round median. A view's ratio to the report is
# taken round by round, then the median of those. Instructions: callgrind's count
# of user-space instructions, from exec to exit (repeatable run to run).
# Peak memory: /usr/bin/time's maximum resident set size, median of 5 runs.
# Ratios are to /bin/true measured in the same run. The figures never fail
# the script; only a broken tool does.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=20 runs=150 warmup=20
if [ "${1:-}" = --quick ]; then rounds=2 runs=20 warmup=3; fi

for t in hyperfine valgrind /usr/bin/time od xxd cmake; do
    command -v "$t" >/dev/null || { echo "bench: $t is missing (apt-get install hyperfine valgrind time xxd cmake)" >&2; exit 1; }
done

# The tool as users get it: the default build.
cmake --preset default >/dev/null
cmake --build --preset default --target dump_timers >/dev/null
tool=$PWD/build/default/dump_timers
work=$PWD/build/bench
mkdir -p "$work"

# The dump: slots 0, 2, ..., 30 in use, chained in that order, at a table
# base of 0x20001000 on the target; odd slots free.
dump=$work/half.bin
for i in $(seq 0 31); do
    if (( i % 2 == 0 )); then
        prev=0 next=0
        (( i >= 2 )) && prev=$(( 0x20001000 + 28 * (i - 2) ))
        (( i <= 28 )) && next=$(( 0x20001000 + 28 * (i + 2) ))
        printf '%08x' $(( 1000 * i + 1 )) 1000 $(( 0x20000400 + 0x40 * (i / 2) )) \
            $(( 0x00010000 + i )) $(( i % 16 )) "$prev" "$next"
    else
        printf '%056d' 0
    fi
done | xxd -r -p >"$dump"
[ "$(stat -c %s "$dump")" = 896 ] || { echo "bench: dump is not 896 bytes" >&2; exit 1; }
for view in "" --json --lists; do
    # shellcheck disable=SC2086
    "$tool" $view "$dump" >/dev/null || { echo "bench: dump_timers $view failed on the dump" >&2; exit 1; }
done

names=(true dump_timers od xxd json lists)
labels=(true dump_timers od xxd "dump_timers --json" "dump_timers --lists")
cmds=("/bin/true" "$tool $dump" "od -A x -t x4 --endian=big $dump" "xxd -g4 $dump"
      "$tool --json $dump" "$tool --lists $dump")

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Wall time, in rounds.
declare -A walls paired
for r in $(seq "$rounds"); do
    hyperfine -N --style none --warmup "$warmup" --runs "$runs" \
        --export-csv "$work/round.csv" "${cmds[@]}" >/dev/null 2>&1
    # CSV columns: command,mean,stddev,median,user,system,min,max (seconds)
    mapfile -t med < <(tail -n +2 "$work/round.csv" | cut -d, -f4)
    for k in "${!names[@]}"; do walls[${names[$k]}]+="${med[$k]} "; done
    # A view against the report in the same round: the machine's slow
    # drifts cancel out of the ratio.
    for k in 4 5; do
        paired[${names[$k]}]+="$(awk -v a="${med[$k]}" -v b="${med[1]}" 'BEGIN { print a / b }') "
    done
done

# Instructions and peak memory.
declare -A wall ins rss
for k in "${!names[@]}"; do
    n=${names[$k]}
    wall[$n]=$(tr ' ' '\n' <<<"${walls[$n]}" | grep . | median)
    # shellcheck disable=SC2086
    ins[$n]=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null ${cmds[$k]} 2>&1 >/dev/null |
        sed -n 's/.*Collected : \([0-9]*\).*/\1/p')
    # shellcheck disable=SC2086
    rss[$n]=$(for i in 1 2 3 4 5; do /usr/bin/time -f %M ${cmds[$k]} 2>&1 >/dev/null | tail -1; done | median)
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2fx", a / b }'; }
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
echo "- Machine: $(uname -m), $(nproc) cores, ${cpu:-unknown CPU}, $(uname -sr); $(date -u +%Y-%m-%d)"
echo "- Rounds: $rounds x $runs runs per command (hyperfine $(hyperfine --version | cut -d' ' -f2)); dump: 896 bytes, 16 of 32 slots in use"
echo
echo "| command | wall median | vs true | instructions | vs true | peak RSS | vs true |"
echo "|---|---:|---:|---:|---:|---:|---:|"
for k in "${!names[@]}"; do
    n=${names[$k]}
    printf '| %s | %.3f ms | %s | %s | %s | %s KiB | %s |\n' "${labels[$k]}" \
        "$(awk -v s="${wall[$n]}" 'BEGIN { print s * 1000 }')" "$(ratio "${wall[$n]}" "${wall[true]}")" \
        "${ins[$n]}" "$(ratio "${ins[$n]}" "${ins[true]}")" \
        "${rss[$n]}" "$(ratio "${rss[$n]}" "${rss[true]}")"
done
echo
verdict() { awk -v a="$1" -v b="$2" -v lim="$3" 'BEGIN { print (a <= b * lim) ? "met" : "MISSED" }'; }
echo "Targets for dump_timers: wall <= 1.0x true: $(verdict "${wall[dump_timers]}" "${wall[true]}" 1.0);" \
     "instructions <= 1.25x: $(verdict "${ins[dump_timers]}" "${ins[true]}" 1.25);" \
     "peak RSS <= 1.0x: $(verdict "${rss[dump_timers]}" "${rss[true]}" 1.0)"
for n in json lists; do
    pw=$(tr ' ' '\n' <<<"${paired[$n]}" | grep . | median)
    echo "Targets for dump_timers --$n against the report: wall <= 1.10x: $(verdict "$pw" 1 1.10)" \
         "($(ratio "$pw" 1), the median of the rounds' ratios);" \
         "instructions <= 1.5x: $(verdict "${ins[$n]}" "${ins[dump_timers]}" 1.5) ($(ratio "${ins[$n]}" "${ins[dump_timers]}"))"
done
