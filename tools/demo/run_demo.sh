#!/usr/bin/env bash
# The main job, shown end to end against the stand-in handset, whose lines
# run at the line speed (10 bits per byte) as a real handset's do:
#   1. flash a 1 MiB image over two ports,
#   2. verify it,
#   3. flash it again in difference mode (no sector is reprogrammed),
#   4. read it back and compare byte for byte,
#   5. program it once more and write three files into the handset's file systems.
# Every job runs flashcli against a fresh handsetsim process that keeps the
# handset's flash in a file, so each job's commands can be counted.
#
#   tools/demo/run_demo.sh [BUILD_DIR]
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
out="$top/demo-out"
flashcli="$build/tools/flashcli/flashcli"
handsetsim="$build/tools/handsetsim/handsetsim"
mkcontents="$build/tools/mkcontents/mkcontents"
. "$top/tools/handsetsim/handset_process.sh"

image_base=0x20000000
image_size=$((1024 * 1024))
image_last=$(printf '0x%08X' $((image_base + image_size - 1)))

step() { printf '\n== %s\n' "$*"; }
fail() { printf '\nDEMO FAILED: %s\n' "$*" >&2; exit 1; }

for tool in "$flashcli" "$handsetsim" "$mkcontents"; do
  [ -x "$tool" ] || fail "$tool is missing: run 'make build' first"
done
command -v objcopy >/dev/null || fail "objcopy (binutils) is needed to make the sample files"

# An S-record file of `size` random bytes at `address`.
make_srec() { # name address size
  head -c "$3" /dev/urandom > "$out/$1.bin"
  objcopy -I binary -O srec --srec-forceS3 --srec-len=16 \
    --change-addresses "$2" "$out/$1.bin" "$out/$1.s19"
}

prepare() {
  rm -rf "$out"
  mkdir -p "$out/home/loaders" "$out/files"
  cp "$top/examples/demo/platform.def" "$top/examples/demo/flash.types" "$out/home/"
  make_srec setup 0x08000000 6144
  make_srec flash 0x08020000 24576
  mv "$out/setup.s19" "$out/flash.s19" "$out/home/loaders/"
  make_srec image "$image_base" "$image_size"
  printf 'calibration 42\n' > "$out/cal.txt"
  head -c 70000 /dev/urandom > "$out/logo.bin"
  printf 'factory settings\n' > "$out/settings.cfg"
  "$mkcontents" "$out/files.bin" --ffs 0x1,0x2 1:17="$out/cal.txt" 1:18="$out/logo.bin" \
    --cfs settings.cfg="$out/settings.cfg" >/dev/null
}

# Starts handsetsim for one job; sets uart0/uart1.
start_handset() { # job
  local job=$1
  handset_start "$handsetsim" "$out/$job" --flash-file "$out/handset.flash" --files-dir "$out/files" \
    --report "$out/$job.report" "$top/examples/demo/handset.ini" ||
    fail "handsetsim did not start (see $out/$job.sim-errors)"
}

stop_handset() {
  handset_stop || fail "handsetsim ended with an error (see $out/$job.sim-errors)"
}

# Runs one job through flashcli; its output goes to the terminal and a log.
run_job() { # job option...
  local job=$1; shift
  start_handset "$job"
  local started=$(date +%s.%N)
  set +e
  "$flashcli" --home "$out/home" --port 1="$uart0" --port 2="$uart1" \
    /platform=DEMO /com=1,2 /maxspeed=921600,921600 "$@" 2>&1 | tee "$out/$job.log" |
    grep -v '^progress: '
  local result=${PIPESTATUS[0]}
  set -e
  echo "$(date +%s.%N) - $started" | bc > "$out/$job.seconds"
  stop_handset
  [ "$result" -eq 0 ] || fail "$job job ended with code $result (see $out/$job.log)"
  grep -qs '^summary: ' "$out/$job.log" || fail "flashcli printed no summary line for the $job job"
}

# The summary line flashcli printed for the job: its speed and its share of
# the line.
summary() { # job
  grep '^summary: ' "$out/$1.log"
}

# The seconds of the job's main operation, from its summary line.
main_seconds() { # job
  summary "$1" | sed -n 's/.* in \([0-9.]*\) s, .*/\1/p'
}

count() { # command job
  awk -v name="$1" '$4 == name' "$out/$2.report" | wc -l
}

elapsed() { # job
  printf '%.1f s' "$(cat "$out/$1.seconds")"
}

# How many times faster job $2 ran than job $1.
speedup() { # job job
  printf '%.1f' "$(echo "$(cat "$out/$1.seconds") / $(cat "$out/$2.seconds")" | bc -l)"
}

cd "$top"
step "Preparing demo-out/: platform.def, flash.types, loaders, a 1 MiB image, three files"
prepare

step "1. Flash the image over two ports"
run_job flash "/mode=flash" "/file=$out/image.s19" /debug=0
step "2. Verify flash against the image"
run_job verify "/mode=verify" "/file=$out/image.s19"
step "3. Flash the same image again in difference mode"
run_job reflash "/mode=flash" "/file=$out/image.s19" /diff=1
step "4. Read flash back into an S-record file"
run_job read "/mode=read" "/read=$image_base-$image_last" "/savefile=$out/readback.s19"
objcopy -I srec -O binary "$out/readback.s19" "$out/readback.bin"
cmp -s "$out/image.bin" "$out/readback.bin" || fail "the data read back differs from the image"
step "5. Flash, then write the contents file's files into the handset"
run_job contents --contents "$out/files.bin" --contents-mode 4 "/mode=flash_contents" "/file=$out/image.s19"
for pair in cal.txt:FFS/owner_1_file_17 logo.bin:FFS/owner_1_file_18 settings.cfg:CFS/settings.cfg; do
  cmp -s "$out/${pair%%:*}" "$out/files/${pair#*:}" || fail "${pair%%:*} did not arrive in the handset intact"
done

step "Summary"
printf '  %-9s %6s %6s %6s %6s  %s\n' job OPEN TXDT VRFY SUCK duration
for job in flash verify reflash read contents; do
  printf '  %-9s %6s %6s %6s %6s  %s\n' "$job" "$(count OPEN $job)" "$(count TXDT $job)" \
    "$(count VRFY $job)" "$(count SUCK $job)" "$(elapsed $job)"
done
printf '\n  the difference-mode reflash ran %sx as fast as the first flash (main operation: %sx).\n' \
  "$(speedup flash reflash)" "$(printf '%.0f' "$(echo "$(main_seconds flash) / $(main_seconds reflash)" | bc -l)")"
printf '\n  summary lines:\n'
for job in flash verify reflash read contents; do
  summary "$job" | sed 's/^/    /'
done
[ "$(count OPEN reflash)" -eq 0 ] || fail "difference mode reprogrammed a sector"
printf '\n  files in the handset (demo-out/files):\n'
(cd "$out/files" && find . -type f -printf '    %p  %s bytes\n' | sort)
printf '\n  read-back equals the image (%s bytes); difference mode opened no sector.\n' "$image_size"
printf '\nDEMO PASSED\n'
