#!/usr/bin/env bash
# The decoder benchmark, five times over: each run times every benchmark in
# three repetitions, in random order (so that the library and OpenSSL share
# whatever the machine is doing), then OpenSSL once more with its AES-NI and
# PCLMUL use masked off through OPENSSL_ia32cap, the reference for the table
# loop. Prints, for each figure and for each library/OpenSSL ratio, the
# median over the runs (each run's figure being the median of its
# repetitions), the lowest and highest run, and the spread
# (highest - lowest) / median.
#
#   bench/run_native.sh [build dir] [runs]     (defaults: build-bench, 5)
#
# A build directory without decode_bench is configured with the bench-decoder
# preset (Release, crypto only, no tests, benchmarks on), in the directory
# given, and decode_bench is built. TARNWICK_BENCH_MIN_TIME sets each
# repetition's minimum time in seconds (default 0.5).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${1:-build-bench}
runs=${2:-5}
bench="$build/bench/native/decode_bench"

if [[ ! -x "$bench" ]]; then
  cmake --preset bench-decoder -B "$build"
  cmake --build "$build" --target decode_bench -j 2
fi

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //' || true)
echo "== CPU: ${cpu:-unknown}, $(nproc) cores; $(openssl version 2>/dev/null || echo OpenSSL)"
echo "== $runs runs of $bench"

args=(--benchmark_repetitions=3 --benchmark_enable_random_interleaving=true
  --benchmark_report_aggregates_only=true --benchmark_format=csv
  "--benchmark_min_time=${TARNWICK_BENCH_MIN_TIME:-0.5}")
results=$(mktemp)
trap 'rm -f "$results"' EXIT

# medians PREFIX: "run PREFIX+name bytes_per_second faults" for every median
# row of the CSV on standard input.
medians() {
  awk -F, -v run="$1" -v prefix="$2" '
    NR == 1 { for (i = 1; i <= NF; i++) { h = $i; gsub(/"/, "", h); col[h] = i }; next }
    $1 ~ /_median"?$/ {
      name = $1; gsub(/"/, "", name); sub(/_median$/, "", name)
      faults = ("faults" in col) ? $col["faults"] : ""
      print run, prefix name, $col["bytes_per_second"], faults
    }'
}

for run in $(seq 1 "$runs"); do
  echo "   run $run"
  "$bench" "${args[@]}" 2>/dev/null | medians "$run" "" >>"$results"
  OPENSSL_ia32cap="~0x200000200000000" "$bench" "${args[@]}" --benchmark_filter=BM_OpenSsl \
    2>/dev/null | medians "$run" "masked:" >>"$results"
done

awk -v runs="$runs" '
  function median(a, n,    i, j, t, b) {
    for (i = 1; i <= n; i++) b[i] = a[i]
    for (i = 2; i <= n; i++) for (j = i; j > 1 && b[j - 1] > b[j]; j--) { t = b[j]; b[j] = b[j - 1]; b[j - 1] = t }
    return n % 2 ? b[(n + 1) / 2] : (b[n / 2] + b[n / 2 + 1]) / 2
  }
  function report(title, unit, scale, a, n,    i, lo, hi, m) {
    lo = a[1]; hi = a[1]
    for (i = 2; i <= n; i++) { if (a[i] < lo) lo = a[i]; if (a[i] > hi) hi = a[i] }
    m = median(a, n)
    printf "%-44s %8.3f %8.3f %8.3f %6.1f%%  %s\n", title, m / scale, lo / scale, hi / scale,
           (m > 0 ? 100 * (hi - lo) / m : 0), unit
  }
  { rate[$2, $1] = $3; faults[$2, $1] = $4 }
  END {
    gib = 1024 * 1024 * 1024; mib = 1024 * 1024
    printf "\n%-44s %8s %8s %8s %7s\n", "", "median", "lowest", "highest", "spread"
    split("BM_Decode BM_DecodeHardware BM_DecodeTable BM_OpenSsl masked:BM_OpenSsl", names, " ")
    split("65536 8388608", sizes, " ")
    label["BM_Decode"] = "dispatcher"
    label["BM_DecodeHardware"] = "AES-NI loop"
    label["BM_DecodeTable"] = "table loop"
    label["BM_OpenSsl"] = "OpenSSL"
    label["masked:BM_OpenSsl"] = "OpenSSL, AES-NI masked"
    sizeLabel["65536"] = "64 KiB"; sizeLabel["8388608"] = "8 MiB"
    for (s = 1; s <= 2; s++) for (k = 1; k <= 5; k++) {
      key = names[k] "/" sizes[s]
      table = names[k] ~ /Table|masked/
      for (r = 1; r <= runs; r++) v[r] = rate[key, r]
      report(label[names[k]] ", " sizeLabel[sizes[s]], table ? "MiB/s" : "GiB/s", table ? mib : gib, v, runs)
    }
    for (r = 1; r <= runs; r++) v[r] = rate["BM_DecodeFreshPages/8388608", r]
    report("dispatcher, output in fresh pages, 8 MiB", "GiB/s", gib, v, runs)

    printf "\nlibrary / OpenSSL, ratio of each run'"'"'s medians\n"
    split("BM_Decode:BM_OpenSsl BM_DecodeHardware:BM_OpenSsl BM_DecodeTable:masked:BM_OpenSsl", pairs, " ")
    for (s = 1; s <= 2; s++) for (p = 1; p <= 3; p++) {
      lib = substr(pairs[p], 1, index(pairs[p], ":") - 1)
      peer = substr(pairs[p], index(pairs[p], ":") + 1)
      for (r = 1; r <= runs; r++) v[r] = rate[peer "/" sizes[s], r] > 0 ? rate[lib "/" sizes[s], r] / rate[peer "/" sizes[s], r] : 0
      report(label[lib] " / " label[peer] ", " sizeLabel[sizes[s]], "", 1, v, runs)
    }

    printf "\npage faults per iteration (median over runs)\n"
    split("BM_Decode/8388608 BM_DecodeHardware/8388608 BM_DecodeTable/8388608 BM_OpenSsl/8388608 BM_DecodeFreshPages/8388608", fk, " ")
    for (k = 1; k <= 5; k++) {
      for (r = 1; r <= runs; r++) v[r] = faults[fk[k], r] + 0
      printf "  %-40s %8.1f\n", fk[k], median(v, runs)
    }
  }' "$results"
