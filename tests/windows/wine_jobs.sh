#!/usr/bin/env bash
# Whole jobs of a Windows host under wine against a native stand-in handset.
# COM ports of the wine prefix lead to the handset's pseudo-terminals (links
# in $WINEPREFIX/dosdevices), so the DLL opens them as "\\.\COMn" the way it
# does on Windows. The host, the DLL, platform.def, flash.types and the
# loaders lie in one folder, as a host is installed on Windows.
#
#   wine_jobs.sh CASE WORKDIR HOST_EXE DLL NATIVE_BUILD
#
#   two_ports  flash over COM1 and COM2; then a native verify agrees
#   one_port   flash, verify and read back over COM3; the read-back equals the image
#   abort      Ctrl-C (SIGINT) during a flash over COM4 ends the job with ERR_ABORT
#   serial_device  runs HOST_EXE, a test program, with COM5 leading to the handset's UART0
#
# HOST_EXE takes the option words as its arguments, stops the job on Ctrl-C
# and exits with the job's error code (tests/windows/job_host.c). flashcli.exe,
# built for Windows, does the same: swapping it in is the HOST_EXE argument
# of the wine_job_* tests in tests/windows/CMakeLists.txt.
# WINEPREFIX names a prefix that `wine.sh start` has set up; the cases use
# their own COM ports and may run side by side. FLASHDLL_JOB_OPTIONS adds
# options to every job under wine (for example /debug=1 for the log lines);
# FLASHDLL_JOB_LIMIT_S bounds each of them (240 s).
set -euo pipefail

case_name=${1:?usage: wine_jobs.sh CASE WORKDIR HOST_EXE DLL NATIVE_BUILD}
work=${2:?}
host_exe=${3:?}
dll=${4:?}
native=${5:?}
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
wine_sh="$here/wine.sh"
handsetsim="$native/tools/handsetsim/handsetsim"
flashcli="$native/tools/flashcli/flashcli"
. "$top/tools/handsetsim/handset_process.sh"

image_base=0x203C0000  # 512 KiB across the boundary of the demo handset's two chips
image_size=$((512 * 1024))
image_last=$(printf '0x%08X' $((image_base + image_size - 1)))
job_limit_s=${FLASHDLL_JOB_LIMIT_S:-240}  # no job here comes near it; a stalled one ends here
abort_limit_s=30                          # from Ctrl-C to the end of the job

fail() { printf 'FAILED (%s): %s\n' "$case_name" "$*" >&2; exit 1; }
note() { printf '== %s\n' "$*"; }

# A Windows path for a path of this system: wine's drive Z: is the root.
windows_path() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }

# An S-record file of `size` random bytes at `address`.
make_srec() { # path address size
  head -c "$3" /dev/urandom > "$1.bin"
  objcopy -I binary -O srec --srec-forceS3 --srec-len=16 --change-addresses "$2" "$1.bin" "$1"
}

prepare() {
  for tool in "$handsetsim" "$flashcli" "$host_exe" "$dll"; do
    [ -f "$tool" ] || fail "$tool is missing"
  done
  rm -rf "$work"
  mkdir -p "$work/install/loaders"
  cp "$host_exe" "$dll" "$top/examples/demo/platform.def" "$top/examples/demo/flash.types" "$work/install/"
  make_srec "$work/install/loaders/setup.s19" 0x08000000 6144
  make_srec "$work/install/loaders/flash.s19" 0x08020000 24576
  make_srec "$work/image.s19" "$image_base" "$image_size"
  # The demo handset with its lines paced at their baud rates, as real UARTs are.
  sed -e '/^pace *=/d' -e 's/^\[handset\]$/[handset]\npace = yes/' "$top/examples/demo/handset.ini" > "$work/handset.ini"
  host="$work/install/$(basename "$host_exe")"
}

# Starts a handset for one job on the flash file of the case; sets uart0 and uart1.
start_handset() { # job
  job=$1
  handset_start "$handsetsim" "$work/$job" --flash-file "$work/handset.flash" --report "$work/$job.report" \
    "$work/handset.ini" || fail "handsetsim did not start (see $work/$job.sim-errors)"
}

stop_handset() {
  handset_stop || fail "handsetsim ended with an error (see $work/$job.sim-errors)"
}

# Runs the Windows host on an option string in the background; sets host_pid.
start_host() { # log option...
  local log=$1; shift
  local extra
  read -r -a extra <<< "${FLASHDLL_JOB_OPTIONS:-}"
  (cd "$work" && exec timeout -s KILL "$job_limit_s" "$wine_sh" run "$host" "$@" "${extra[@]}") > "$log" 2>&1 &
  host_pid=$!
}

# Runs one job of the Windows host to its end and checks its exit status.
run_host() { # job expected-status option...
  local job=$1 expected=$2; shift 2
  start_host "$work/$job.log" "$@"
  local status=0
  wait "$host_pid" || status=$?
  note "$job: exit status $status"
  if [ "$status" -ne "$expected" ]; then
    tail -n 30 "$work/$job.log" >&2
    fail "$job ended with status $status, not $expected (log: $work/$job.log)"
  fi
}

image_option() { printf '/file=%s' "$(windows_path "$work/image.s19")"; }

# The handset's report: data commands whose bytes came over both UARTs.
two_part_data_commands() { # job
  grep ' TXDT ' "$work/$1.report" | grep -c 'UART0 +.*UART1 +' || true
}

case_two_ports() {
  wine_sh_map 1 "$uart0"
  wine_sh_map 2 "$uart1"
  run_host flash 0 /platform=DEMO /com=1,2 /maxspeed=921600,921600 /mode=flash "$(image_option)"
  stop_handset
  [ "$(two_part_data_commands flash)" -gt 0 ] || fail "no data went over the second port"
  note "native verify of what the job under wine programmed"
  start_handset verify
  local status=0
  "$flashcli" --home "$work/install" --port 1="$uart0" --port 2="$uart1" \
    /platform=DEMO /com=1,2 /mode=verify "/file=$work/image.s19" > "$work/verify.log" 2>&1 || status=$?
  stop_handset
  [ "$status" -eq 0 ] || { tail -n 30 "$work/verify.log" >&2; fail "the native verify ended with status $status"; }
}

case_one_port() {
  wine_sh_map 3 "$uart0"
  run_host flash 0 /platform=DEMO /com=3 /maxspeed=921600 /mode=flash "$(image_option)"
  stop_handset
  start_handset verify
  wine_sh_map 3 "$uart0"
  run_host verify 0 /platform=DEMO /com=3 /maxspeed=921600 /mode=verify "$(image_option)"
  stop_handset
  start_handset read
  wine_sh_map 3 "$uart0"
  run_host read 0 /platform=DEMO /com=3 /maxspeed=921600 /mode=read "/read=$image_base-$image_last" \
    "/savefile=$(windows_path "$work/readback.s19")"
  stop_handset
  objcopy -I srec -O binary "$work/readback.s19" "$work/readback.bin"
  cmp -s "$work/image.s19.bin" "$work/readback.bin" || fail "the data read back differs from the image"
}

case_abort() {
  wine_sh_map 4 "$uart0"
  start_host "$work/abort.log" /platform=DEMO /com=4 /maxspeed=921600 /mode=flash "$(image_option)"
  local waited=0
  # Once programming is under way: the first progress line of "Loading Flash ...".
  until grep -q '^progress: Loading Flash' "$work/abort.log" 2>/dev/null; do
    kill -0 "$host_pid" 2>/dev/null || break
    [ "$waited" -lt $((job_limit_s * 10)) ] || break
    sleep 0.1
    waited=$((waited + 1))
  done
  grep -q '^progress: Loading Flash' "$work/abort.log" || { cat "$work/abort.log" >&2; fail "programming did not start"; }
  note "Ctrl-C during the job"
  kill -INT "$host_pid"
  local status=0 started=$SECONDS
  wait "$host_pid" || status=$?
  note "abort: exit status $status after $((SECONDS - started)) s"
  [ $((SECONDS - started)) -le "$abort_limit_s" ] || fail "the job took longer than $abort_limit_s s to stop"
  [ "$status" -eq 3 ] || { tail -n 30 "$work/abort.log" >&2; fail "exit status $status, not 3 (ERR_ABORT)"; }
  stop_handset
}

case_serial_device() {
  wine_sh_map 5 "$uart0"
  run_host serial_device 0
  cat "$work/serial_device.log"
  stop_handset
}

wine_sh_map() { "$wine_sh" map-com "$1" "$2"; }

prepare
start_handset flash
"case_$case_name"
note "$case_name: passed"
