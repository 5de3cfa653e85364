#!/usr/bin/env bash
# Times the read path of the quillmark CLI over a folder of real PE files
# (made by bench/pe_corpus.sh) with one job and with two, and optionally
# profiles both with perf.
#
#   bench/scan_corpus.sh [--perf] [--call-graph fp|dwarf] [--runs N] [--out DIR]
#                        [QUILLMARK [CORPUS]] [-- SCAN-OPTION...]
#
# QUILLMARK   the program to measure (default ./build/quillmark); it reads the
#             knowledge files of the Data/ folder beside it
# CORPUS      the folder to scan (default /var/tmp/quillmark-pe-corpus)
# --runs N    timed runs per job count (default 10), after one warm-up run,
#             so the corpus is read from the page cache
# --perf      also record `perf record -g` profiles of one scan with each job
#             count and print their top entries
# --call-graph fp|dwarf
#             how perf follows the stack (default fp, which is what -g does):
#             dwarf also goes through code built without frame pointers, such
#             as the program itself, at the cost of ~100 MB of data per scan
# --out DIR   where the scan output, hyperfine's results, the profiles and
#             summary.txt go (default: a new folder under
#             /var/tmp/quillmark-bench/)
# after --     options given to every `quillmark scan` (e.g. --max-filesize)
#
# Each command is `quillmark scan --json --no-progress --jobs N CORPUS`. Exit
# status 1 only says that a file was flagged and counts as success; anything
# else (2: a file or output could not be read or written, a signal) stops the
# script. Before timing, one scan with each job count must give one JSON line
# per file, and the same lines (in any order) for both job counts.
#
# It prints the mean time for one and two jobs, files per second, the CPU time
# (user, system) and the ratio time(jobs 1) / time(jobs 2), with the load
# average before and after: the machine may be shared, so run it when it is
# idle and repeat. Needs hyperfine (Debian package) and, for --perf, perf
# (package linux-perf) run as root or with kernel.perf_event_paranoid <= 1.
set -euo pipefail
export LC_ALL=C

die() { echo "scan_corpus.sh: $*" >&2; exit 1; }

bin=./build/quillmark
corpus=/var/tmp/quillmark-pe-corpus
runs=10
perf=0
call_graph=fp
out=
positional=()
scan_options=()
while [ $# -gt 0 ]; do
  case "$1" in
    --perf) perf=1; shift ;;
    --call-graph) [ $# -ge 2 ] || die "--call-graph needs fp or dwarf"
                  case "$2" in fp) call_graph=fp ;; dwarf) call_graph=dwarf,16384 ;;
                    *) die "--call-graph takes fp or dwarf, not '$2'" ;; esac
                  shift 2 ;;
    --runs) [ $# -ge 2 ] || die "--runs needs a number"
            runs=$2; shift 2
            [[ "$runs" =~ ^[1-9][0-9]*$ ]] || die "--runs needs a positive number, not '$runs'" ;;
    --out) [ $# -ge 2 ] || die "--out needs a folder"
           out=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    --) shift; scan_options=("$@"); break ;;
    -*) die "unknown option '$1' (see --help)" ;;
    *) positional+=("$1"); shift ;;
  esac
done
[ ${#positional[@]} -le 2 ] || die "too many arguments (see --help)"
[ ${#positional[@]} -ge 1 ] && bin=${positional[0]}
[ ${#positional[@]} -ge 2 ] && corpus=${positional[1]}

command -v hyperfine >/dev/null || die "hyperfine is missing (apt-get install hyperfine)"
[ "$perf" = 0 ] || command -v perf >/dev/null || die "perf is missing (apt-get install linux-perf)"
if [ ! -f "$bin" ] || [ ! -x "$bin" ]; then die "'$bin' is not an executable file"; fi
bin=$(realpath -- "$bin")
[ -d "$(dirname -- "$bin")/Data" ] || die "no Data/ folder beside '$bin'"
[ -d "$corpus" ] || die "no corpus at '$corpus' (make one with bench/pe_corpus.sh)"
corpus=$(realpath -- "$corpus")
files=$(find "$corpus" -type f | wc -l)
[ "$files" -gt 0 ] || die "'$corpus' holds no files"
mib=$(( $(du -sb -- "$corpus" | cut -f1) / 1048576 ))
if [ -f "$corpus.manifest" ]; then
  corpus_id="manifest sha256 $(sha256sum < "$corpus.manifest" | cut -c1-16)"
else
  corpus_id="no manifest"
fi

if [ -z "$out" ]; then
  mkdir -p /var/tmp/quillmark-bench
  out=$(mktemp -d "/var/tmp/quillmark-bench/$(date +%Y%m%d-%H%M%S)-XXXX")
fi
mkdir -p -- "$out"
out=$(realpath -- "$out")

# the scan command for N jobs, as words
scan_words() { words=("$bin" scan --json --no-progress --jobs "$1" "${scan_options[@]}" "$corpus"); }
# the same as one shell command line that succeeds on exit status 0 or 1
scan_line() {
  scan_words "$1"
  printf '%q ' "${words[@]}"
  printf '>/dev/null 2>&1; test $? -le 1'
}

# runs a scan; fails on an exit status other than 0 and 1
checked_scan() {  # jobs stdout-file stderr-file
  local rc=0
  scan_words "$1"
  "${words[@]}" > "$2" 2> "$3" || rc=$?
  if [ "$rc" -gt 1 ]; then
    echo "scan_corpus.sh: '${words[*]}' exited with status $rc; its stderr:" >&2
    head -n 20 -- "$3" >&2
    exit 1
  fi
}

load() { cut -d' ' -f1-3 /proc/loadavg; }

summary=$out/summary.txt
say() { echo "$*" | tee -a "$summary"; }
: > "$summary"

say "binary:  $bin ($(sha256sum < "$bin" | cut -c1-16))"
say "corpus:  $corpus ($files files, $mib MiB, $corpus_id)"
say "machine: $(nproc) cores; load average before: $(load)"

# a checked scan with each job count; this also warms the page cache
for j in 1 2; do
  checked_scan "$j" "$out/scan-jobs$j.jsonl" "$out/scan-jobs$j.stderr"
  lines=$(wc -l < "$out/scan-jobs$j.jsonl")
  [ "$lines" -eq "$files" ] || die "jobs $j: $lines JSON lines for $files files (see $out/scan-jobs$j.jsonl)"
done
sort "$out/scan-jobs1.jsonl" > "$out/sorted1"
sort "$out/scan-jobs2.jsonl" > "$out/sorted2"
cmp -s "$out/sorted1" "$out/sorted2" \
  || die "jobs 1 and jobs 2 give different results: diff $out/sorted1 $out/sorted2"
rm -f -- "$out/sorted1" "$out/sorted2"
analysed=$(grep -c '"analyzed":true' "$out/scan-jobs1.jsonl" || true)
say "scan:    $analysed of $files files analysed; stderr lines: $(wc -l < "$out/scan-jobs1.stderr")"
{ grep -o '"error":"[^"]*"' "$out/scan-jobs1.jsonl" || true; } | sort | uniq -c | sed 's/^/         /' | tee -a "$summary"

hyperfine --shell bash --warmup 1 --runs "$runs" --style basic \
  --export-csv "$out/hyperfine.csv" --export-json "$out/hyperfine.json" \
  -n "jobs 1" "$(scan_line 1)" -n "jobs 2" "$(scan_line 2)" > "$out/hyperfine.txt" \
  || { cat "$out/hyperfine.txt" >&2; die "hyperfine failed"; }

say "load average after: $(load)"
# hyperfine.csv: command,mean,stddev,median,user,system,min,max (seconds)
awk -F, -v files="$files" '
  NR == 1 { next }
  { name[NR] = $1; mean[NR] = $2
    printf "%-7s %7.3f s ± %.3f (min %.3f, max %.3f)  user %.3f s  sys %.3f s  %6.1f files/s\n",
           $1 ":", $2, $3, $7, $8, $5, $6, files / $2 }
  END { if (mean[3] > 0) printf "ratio jobs 1 / jobs 2: %.2f\n", mean[2] / mean[3] }
' "$out/hyperfine.csv" | tee -a "$summary"

if [ "$perf" = 1 ]; then
  for j in 1 2; do
    data=$out/perf-jobs$j.data
    scan_words "$j"
    rc=0
    perf record --call-graph "$call_graph" -q -o "$data" -- "${words[@]}" > /dev/null 2> "$out/perf-jobs$j.stderr" || rc=$?
    [ "$rc" -le 1 ] || { cat "$out/perf-jobs$j.stderr" >&2; die "perf record of jobs $j exited with status $rc"; }
    # flat list by own time, then the call chains into the largest entries
    perf report -i "$data" --no-children --percent-limit 1 --stdio -g none 2>/dev/null \
      > "$out/perf-jobs$j.top"
    perf report -i "$data" --no-children --percent-limit 5 --stdio -g graph,2,callee 2>/dev/null \
      > "$out/perf-jobs$j.chains"
    say ""
    say "perf, jobs $j: top entries by own time ($(sed -n 's/^# Samples: //p' "$out/perf-jobs$j.top"))"
    grep -v -e '^#' -e '^$' "$out/perf-jobs$j.top" | cut -c1-120 | head -n 15 | tee -a "$summary"
    say "by shared object:"
    perf report -i "$data" --no-children --sort dso --stdio -g none 2>/dev/null \
      | grep -v -e '^#' -e '^$' | head -n 6 | tee -a "$summary"
    # On a paravirtual guest the cost of entering the kernel is charged to
    # the entry code, not to the call, so count the calls themselves: one
    # more scan under `perf trace -s` (its times include the tracing).
    rc=0
    perf trace -s -o "$out/syscalls-jobs$j.txt" -- "${words[@]}" > /dev/null 2>> "$out/perf-jobs$j.stderr" || rc=$?
    if [ "$rc" -le 1 ]; then
      say "system calls per thread (perf trace -s; all of them: $out/syscalls-jobs$j.txt):"
      awk '/ events, / { print; rows = 0; next }
           $2 ~ /^[0-9]+$/ && rows < 6 { print; rows++ }' "$out/syscalls-jobs$j.txt" | tee -a "$summary"
    else
      say "perf trace of jobs $j failed (status $rc): no system-call counts"
    fi
    say "call chains into the entries above 5 % (all of them: $out/perf-jobs$j.chains):"
    grep -v -e '^#' -e '^$' -e '^ *| *$' "$out/perf-jobs$j.chains" | cut -c1-120 | head -n 40 | tee -a "$summary"
  done
fi

say ""
say "results in $out"
