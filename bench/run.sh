#!/usr/bin/env bash
# Speed and memory of the tools, measured against the standard tools in the
# same run and reported as ratios (best of several runs each).
#
#   bench/run.sh [BUILD_DIR]      BENCH_DIR=... to keep the inputs elsewhere
#
# Exits 1 when a ratio or a peak memory is over its target.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
work=${BENCH_DIR:-/var/tmp/trelkit-bench}
runs=${BENCH_RUNS:-5}
mkdir -p "$work"
bin=$build/bin
mk=$build/tools/mkfixture
failed=0

# Wall time in microseconds of one run of a shell command; its output file is
# removed and the disk synced first, so no run pays for another's writeback.
time_of() {
    rm -f "$work/out"
    sync
    local start end
    start=$(date +%s%N)
    bash -c "$1"
    end=$(date +%s%N)
    echo $(( (end - start) / 1000 ))
}

# Peak resident memory in KiB of one run.
peak_kib() {
    /usr/bin/time -f %M -o "$work/rss" bash -c "exec $1" >/dev/null 2>&1 || true
    tail -n 1 "$work/rss"
}

# The best of $runs runs each, ours and theirs taking turns, so that a slow
# spell of the machine falls on both.
compare() { # title ours theirs limit
    local ours= theirs= t ratio verdict=ok
    for _ in $(seq "$runs"); do
        t=$(time_of "$2")
        if [ -z "$ours" ] || [ "$t" -lt "$ours" ]; then ours=$t; fi
        t=$(time_of "$3")
        if [ -z "$theirs" ] || [ "$t" -lt "$theirs" ]; then theirs=$t; fi
    done
    ratio=$(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.2f", a / b }')
    awk -v r="$ratio" -v l="$4" 'BEGIN { exit !(r > l) }' && { verdict="OVER"; failed=1; }
    printf '%-58s %8.3fs %8.3fs %6sx  (target %sx) %s\n' "$1" "$(awk -v t="$ours" 'BEGIN{print t/1e6}')" \
        "$(awk -v t="$theirs" 'BEGIN{print t/1e6}')" "$ratio" "$4" "$verdict"
}

# Start-up: the median of many runs of each, interleaved by hyperfine in one run.
startup() { # title ours theirs limit
    local ratio verdict=ok
    hyperfine -N --warmup 100 --runs 1000 --export-json "$work/startup.json" "$2" "$3" >/dev/null 2>&1
    read -r ours theirs < <(python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"]; print(*(x["median"]*1e6 for x in r))' "$work/startup.json")
    ratio=$(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.2f", a / b }')
    awk -v r="$ratio" -v l="$4" 'BEGIN { exit !(r > l) }' && { verdict="OVER"; failed=1; }
    printf '%-58s %7.0fus %7.0fus %6sx  (target %sx) %s\n' "$1" "$ours" "$theirs" "$ratio" "$4" "$verdict"
}

memory() { # title command limit-kib
    local kib verdict=ok
    kib=$(peak_kib "$2")
    [ "$kib" -gt "$3" ] && { verdict="OVER"; failed=1; }
    printf '%-58s %8s KiB  (target < %s KiB) %s\n' "$1" "$kib" "$3" "$verdict"
}

command -v hyperfine >/dev/null || "$(dirname "$0")/../tools/deps" hyperfine
echo "== inputs in $work"
if [ ! -f "$work/big.pd" ]; then
    printf 'meta\nsection name=core\ndata fill=0x5a size=65536 repeat=16384\nendsection\nsection name=small\ndata text=hi\nendsection\nenddump\n' |
        "$mk" dump "$work/big.pd"
fi
if [ ! -f "$work/sparse.pd" ]; then
    # 10 GiB, 100,000 data blocks of 107,374 bytes, all holes.
    printf 'meta\nsection name=big\ndata hole=107374 repeat=100000\nendsection\nenddump\n' | "$mk" dump "$work/sparse.pd"
fi
if [ ! -f "$work/small-blocks.pd" ]; then
    printf 'meta\nsection name=core\ndata fill=0x5a size=4096 repeat=262144\nendsection\nenddump\n' |
        "$mk" dump "$work/small-blocks.pd"
fi
# A meta header, then 1 GiB with no valid record header: random bytes, and
# bytes that look like record headers to a scan for their magic.
if [ ! -f "$work/random.pd" ]; then
    printf 'meta\n' | "$mk" dump "$work/meta.pd"
    { cat "$work/meta.pd"; head -c $((1 << 30)) /dev/urandom; } > "$work/random.pd"
    { cat "$work/meta.pd"; yes pHpD | tr -d '\n' | head -c $((1 << 30)) || true; } > "$work/crafted.pd"
fi
# 1 GiB of record headers of the save whose checksum holds but whose successor fails: a scan looks at
# each one and where its successor would be.
if [ ! -f "$work/lonely.pd" ]; then
    python3 - "$work/meta.pd" "$work/lonely.pd" <<'PY'
import struct, sys
meta = open(sys.argv[1], 'rb').read()
words = struct.pack('>IIIH', 1700000000, 0, 8, 0x7044)
cs = 0
for i in range(0, 14, 2):
    cs ^= struct.unpack('>H', words[i:i + 2])[0]
unit = words + struct.pack('>H', cs) + b'\xee' * 16
with open(sys.argv[2], 'wb') as out:
    out.write(meta)
    for _ in range(1024):
        out.write(unit * 32768)
PY
fi
# 1 GiB in 16 sections of 64 MiB; 10 GiB of holes; 256 MiB of random bytes.
if [ ! -f "$work/sixteen.pd" ]; then
    { echo meta; for i in $(seq 16); do printf 'section name=s%d\ndata fill=0x%02x size=65536 repeat=1024\nendsection\n' "$i" "$i"; done
      echo enddump; } | "$mk" dump "$work/sixteen.pd"
fi
[ -f "$work/holes" ] || truncate -s 10G "$work/holes"
[ -f "$work/random256" ] || head -c $((256 << 20)) /dev/urandom > "$work/random256"
cat "$work/sixteen.pd" "$work/random256" > /dev/null
cat "$work/big.pd" "$work/small-blocks.pd" "$work/random.pd" "$work/crafted.pd" "$work/lonely.pd" > /dev/null # warm

[ -f "$work/small.pd" ] || "$mk" dump "$work/small.pd" "$(dirname "$0")/../samples/panic.desc"

printf "%-58s %9s %9s %7s\n" "== start-up" ours theirs ratio
startup "pdcp time stamp of a small dump vs cat of it" "$bin/pdcp $work/small.pd" "cat $work/small.pd" 1.15

printf "%-58s %9s %9s %7s\n" "== panic dumps" ours theirs ratio
compare "pdcp 1 GiB dump of 64 KiB blocks vs cp" \
    "$bin/pdcp $work/big.pd $work/out" "cp $work/big.pd $work/out" 1.3
compare "pdcp 1 GiB dump of 4 KiB blocks vs cp" \
    "$bin/pdcp $work/small-blocks.pd $work/out" "cp $work/small-blocks.pd $work/out" 2
compare "pdex extract ~1 GiB section to a file vs cat" \
    "$bin/pdex $work/big.pd core > $work/out" "cat $work/big.pd > $work/out" 1.3
compare "pdex extract ~1 GiB section into a pipe vs cat" \
    "$bin/pdex $work/big.pd core | cat > /dev/null" "cat $work/big.pd | cat > /dev/null" 1.3
compare "pdex list sparse 10 GiB, 100,000 blocks vs header walk" \
    "$bin/pdex $work/sparse.pd > /dev/null" "$build/bench/headerwalk $work/sparse.pd > /dev/null" 2
compare "pdex --check sparse 10 GiB vs pdex list of it" \
    "$bin/pdex --check $work/sparse.pd > /dev/null" "$bin/pdex $work/sparse.pd > /dev/null" 1.2
compare "pdex --salvage through 1 GiB of random bytes vs cat" \
    "$bin/pdex --salvage $work/random.pd > /dev/null 2>&1" "cat $work/random.pd > /dev/null" 1.5
compare "pdex --salvage through 1 GiB of 'pHpD...' vs cat" \
    "$bin/pdex --salvage $work/crafted.pd > /dev/null 2>&1" "cat $work/crafted.pd > /dev/null" 3
compare "pdex --salvage through 1 GiB of headers whose successor fails vs cat" \
    "$bin/pdex --salvage $work/lonely.pd > /dev/null 2>&1" "cat $work/lonely.pd > /dev/null" 3
printf "%-58s %9s %9s %7s\n" "== windows and extraction" ours theirs ratio
compare "objectdump --skip to the last MiB of 10 GiB vs tail -c 1M" \
    "$bin/objectdump --skip $(((10 << 30) - (1 << 20))) $work/holes > /dev/null" "tail -c 1M $work/holes > /dev/null" 2
compare "objectdump --offsets 256 MiB random vs plain objectdump" \
    "$bin/objectdump --offsets $work/random256 > /dev/null" "$bin/objectdump $work/random256 > /dev/null" 1.1
compare "pdex --extract-all 1 GiB of 16 sections vs cat + cp" \
    "$bin/pdex --extract-all $work/sections --force $work/sixteen.pd > /dev/null" \
    "cat $work/sixteen.pd > /dev/null; cp $work/sixteen.pd $work/out" 1.3
memory "pdex --extract-all 1 GiB of 16 sections" "$bin/pdex --extract-all $work/sections --force $work/sixteen.pd" 4096
memory "pdex list 10 GiB sparse dump" "$bin/pdex $work/sparse.pd" 4096
memory "pdex extract 1 GiB section to a file" "$bin/pdex $work/big.pd core > $work/out" 4096
memory "pdex extract 1 GiB section from a pipe" "$bin/pdex - core < <(cat $work/big.pd)" 4096
memory "pdcp copy 1 GiB dump to a file" "$bin/pdcp $work/big.pd $work/out" 4096
memory "pdcp copy 1 GiB dump into a pipe" "$bin/pdcp $work/big.pd - | cat > /dev/null" 4096
memory "pdcp time stamp" "$bin/pdcp $work/big.pd" 4096
memory "pdex --salvage through 1 GiB of random bytes" "$bin/pdex --salvage $work/random.pd" 4096
memory "pdcp --salvage 1 GiB of 'pHpD...' from a pipe" "$bin/pdcp --salvage - $work/out < <(cat $work/crafted.pd)" 4096

echo "== capture viewers"
[ -f "$work/random.bin" ] || head -c $((256 << 20)) /dev/urandom > "$work/random.bin"
[ -f "$work/zero.bin" ] || head -c $((256 << 20)) /dev/zero > "$work/zero.bin"
if [ ! -f "$work/locks.bin" ]; then
    # 2^17 records of 2,212 bytes: 290 MB.
    printf 'record id=0x1234 text1=spin_lock text4=CPU0 sec=5 frac=42 pid=412 task=ipsecd\nframe addr=0xc0012345 symbol=do_panic offset=0x10 size=0x200\n' |
        "$mk" lockdump "$work/locks.bin"
    for _ in $(seq 17); do cat "$work/locks.bin" "$work/locks.bin" > "$work/locks2.bin"; mv "$work/locks2.bin" "$work/locks.bin"; done
fi
# objectdump must be at least 8 times faster than xxd: ours/theirs <= 0.125.
compare "objectdump 256 MiB random into a pipe vs xxd -c16 -g4" \
    "$bin/objectdump $work/random.bin | cat > /dev/null" "xxd -c16 -g4 $work/random.bin | cat > /dev/null" 0.125
compare "objectdump 256 MiB of zeros (all folded) vs cat" \
    "$bin/objectdump $work/zero.bin | cat > /dev/null" "cat $work/zero.bin | cat > /dev/null" 3
memory "objectdump 256 MiB random" "$bin/objectdump $work/random.bin" 4096
memory "syslockdump 290 MB lock dump" "$bin/syslockdump $work/locks.bin" 4096

rm -f "$work/out" "$work/rss" "$work/startup.json"
exit "$failed"
