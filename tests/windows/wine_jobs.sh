#!/usr/bin/env bash
# Whole jobs of flashcli.exe under wine against native stand-in handsets.
# COM ports of the wine prefix lead to the handsets' pseudo-terminals (links
# in $WINEPREFIX/dosdevices), so the DLL opens them as "\\.\COMn" the way it
# does on Windows. flashcli.exe, the DLL, platform.def, flash.types and the
# loaders lie in one folder, as a host is installed on Windows.
#
#   wine_jobs.sh CASE WORKDIR HOST_EXE DLL NATIVE_BUILD
#
#   two_ports  flash over COM1 and COM2; then a native verify agrees
#   one_port   flash, verify and read back over COM3; the read-back equals the image
#   abort      Ctrl-C (SIGINT) during a flash over COM4 ends the job with ERR_ABORT
#   handsets   --handsets: one flash on two handsets at once over COM6 and COM7,
#              each in a child flashcli.exe, then a native verify of both agrees;
#              Ctrl-C during another such flash stops both with ERR_ABORT
#   serial_device  runs HOST_EXE, a test program, with COM5 leading to the handset's UART0
#
# HOST_EXE is flashcli.exe (but for serial_device): it takes the option words
# as its arguments, stops the job on Ctrl-C and exits with the job's error code.
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

# A second handset beside the running one, on a flash file of its own; sets
# second_uart0. handset_process.sh holds the input of one handset on fd 3:
# the first one's waits on fd 4 while the second starts, the second's then
# stays on fd 5. The second handset holds the first one's input open too, so
# it has to stop first.
start_second_handset() { # job
  local first_pid=$handset_pid first_uart0=$uart0 first_uart1=$uart1
  exec 4>&3
  handset_start "$handsetsim" "$work/$1.second" --flash-file "$work/second.flash" \
    --report "$work/$1.second.report" "$work/handset.ini" || fail "handsetsim did not start (see $work/$1.second.sim-errors)"
  second_pid=$handset_pid
  second_uart0=$uart0
  exec 5>&3 3>&4 4>&-
  handset_pid=$first_pid uart0=$first_uart0 uart1=$first_uart1
}

stop_second_handset() {
  exec 5>&-
  wait "$second_pid" || fail "the second handsetsim ended with an error (see $work/$job.second.sim-errors)"
}

# Runs the Windows host on an option string in the background; sets host_pid.
# A signal to host_pid reaches the host's own wine process alone (timeout
# --foreground), not the children that --handsets starts: they have to hear
# of a stop from their parent.
start_host() { # log option...
  local log=$1; shift
  local extra
  read -r -a extra <<< "${FLASHDLL_JOB_OPTIONS:-}"
  (cd "$work" && exec timeout --foreground -s KILL "$job_limit_s" "$wine_sh" run "$host" "$@" "${extra[@]}") > "$log" 2>&1 &
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

# Runs the host on an option string, presses Ctrl-C (SIGINT) once `pattern`
# shows in its log and checks that the job stops soon with ERR_ABORT.
abort_host() { # job pattern option...
  local job=$1 pattern=$2; shift 2
  start_host "$work/$job.log" "$@"
  local waited=0
  until grep -q "$pattern" "$work/$job.log" 2>/dev/null; do
    kill -0 "$host_pid" 2>/dev/null || break
    [ "$waited" -lt $((job_limit_s * 10)) ] || break
    sleep 0.1
    waited=$((waited + 1))
  done
  grep -q "$pattern" "$work/$job.log" || { cat "$work/$job.log" >&2; fail "$job: programming did not start"; }
  note "$job: Ctrl-C during the job"
  kill -INT "$host_pid"
  local status=0 started=$SECONDS
  wait "$host_pid" || status=$?
  note "$job: exit status $status after $((SECONDS - started)) s"
  [ $((SECONDS - started)) -le "$abort_limit_s" ] || fail "$job took longer than $abort_limit_s s to stop"
  [ "$status" -eq 3 ] || { tail -n 30 "$work/$job.log" >&2; fail "$job: exit status $status, not 3 (ERR_ABORT)"; }
}

case_abort() {
  wine_sh_map 4 "$uart0"
  # Once programming is under way: the first progress line of "Loading Flash ...".
  abort_host abort '^progress: Loading Flash' /platform=DEMO /com=4 /maxspeed=921600 /mode=flash "$(image_option)"
  stop_handset
}

# The handsets file: one device a handset, Windows device names under wine,
# pseudo-terminals natively.
write_handsets_file() { # path first-device second-device
  printf '# two stand-in handsets\nfirst 1=%s\nsecond 1=%s\n' "$2" "$3" > "$1"
}

# Every handset's summary and result, as its child reported them, and the
# exit status of a --handsets run.
check_handsets_run() { # job verb status
  local name
  for name in first second; do
    grep -q "^\[$name\] summary: $2 512 KiB " "$work/$1.log" &&
      grep -q "^\[$name\] result: SUCCESS (0)" "$work/$1.log" || { tail -n 40 "$work/$1.log" >&2; fail "$1: $name did not succeed"; }
  done
  ! grep -q "^\[[a-z]*\] \(warning\|error\): " "$work/$1.log" || fail "$1: warnings or errors (log: $work/$1.log)"
  [ "$3" -eq 0 ] || fail "$1: exit status $3"
}

case_handsets() {
  start_second_handset flash
  wine_sh_map 6 "$uart0"
  wine_sh_map 7 "$second_uart0"
  write_handsets_file "$work/handsets.txt" '\\.\COM6' '\\.\COM7'
  # A blank in the image's name: the children's command lines must keep it.
  cp "$work/image.s19" "$work/the image.s19"
  run_host flash 0 --handsets "$(windows_path "$work/handsets.txt")" /platform=DEMO /com=1 /maxspeed=921600 \
    /mode=flash "/file=\"$(windows_path "$work/the image.s19")\""
  check_handsets_run flash flashed 0
  stop_second_handset
  stop_handset
  note "native verify of both handsets"
  start_handset verify
  start_second_handset verify
  write_handsets_file "$work/handsets.native.txt" "$uart0" "$second_uart0"
  local status=0
  "$flashcli" --home "$work/install" --handsets "$work/handsets.native.txt" \
    /platform=DEMO /com=1 /mode=verify "/file=$work/image.s19" > "$work/verify.log" 2>&1 || status=$?
  stop_second_handset
  stop_handset
  check_handsets_run verify verified "$status"
  # Ctrl-C reaches the parent only: it passes the stop on to its children.
  # Handsets with blank flash again, so that programming takes its time.
  rm -f "$work/handset.flash" "$work/second.flash"
  start_handset abort
  start_second_handset abort
  wine_sh_map 6 "$uart0"
  wine_sh_map 7 "$second_uart0"
  abort_host abort '^\[second\] progress: Loading Flash' --handsets "$(windows_path "$work/handsets.txt")" \
    /platform=DEMO /com=1 /maxspeed=921600 /mode=flash "$(image_option)"
  for name in first second; do
    grep -q "^\[$name\] result: ERR_ABORT (3)" "$work/abort.log" || fail "abort: $name did not stop with ERR_ABORT"
  done
  stop_second_handset
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
