# Sourced by scripts that run jobs against a stand-in handset process with
# two UARTs (the demo, the Windows jobs under wine).
#
#   handset_start HANDSETSIM FILES ARG...
#       starts `HANDSETSIM --until-eof ARG...` with its input on the FIFO
#       FILES.in, its UART list in FILES.uarts and its errors in
#       FILES.sim-errors; sets handset_pid, uart0 and uart1 (the UARTs'
#       pseudo-terminals). Fails when they do not show within 10 s.
#   handset_stop
#       ends the handset's input and waits for it; fails as it fails.

handset_start() {
  local handsetsim=$1 files=$2
  shift 2
  rm -f "$files.in"
  mkfifo "$files.in"
  "$handsetsim" --until-eof "$@" < "$files.in" > "$files.uarts" 2> "$files.sim-errors" &
  handset_pid=$!
  exec 3> "$files.in"  # held open: the handset runs until it is closed
  for _ in $(seq 200); do
    grep -q '^UART1 ' "$files.uarts" 2>/dev/null && break
    sleep 0.05
  done
  uart0=$(awk '$1 == "UART0" {print $2}' "$files.uarts")
  uart1=$(awk '$1 == "UART1" {print $2}' "$files.uarts")
  [ -n "$uart0" ] && [ -n "$uart1" ]
}

handset_stop() {
  exec 3>&-
  wait "$handset_pid"
}
