# Helpers for suites that put simulated units behind Debian's ser2net on
# loopback. Source it; it needs $work (a private temporary folder).
#
#   start_sim NAME [SIM OPTIONS...]   a simulator; its pty in ${sim_pty[NAME]}
#   start_ser2net NAME PORT...        one ser2net with one TCP port per PORT,
#                                     "rfc2217 PTY" or "tcp PTY"; the ports it
#                                     listens on in ${ser2net_ports[NAME]}
#   kill_ser2net NAME [SIGNAL]        stops one server
#   stop_all                          every simulator and server started here
declare -A sim_pty sim_pid ser2net_pid ser2net_ports

start_sim() {
  local name=$1; shift
  "$sim_bin" "$@" >"$work/sim-$name.out" 2>"$work/sim-$name.err" &
  sim_pid[$name]=$!
  for _ in $(seq 200); do
    [ -s "$work/sim-$name.out" ] && break
    sleep 0.02
  done
  sim_pty[$name]=$(awk 'NR==1 {print $1}' "$work/sim-$name.out")
  [ -n "${sim_pty[$name]}" ] || { echo "simulator $name did not start" >&2; return 1; }
}

# Ends a simulator and tells whether it took the packaged image whole.
sim_got_image() {
  local name=$1
  kill -TERM "${sim_pid[$name]}" 2>/dev/null || true
  wait "${sim_pid[$name]}" 2>/dev/null || true
  unset "sim_pid[$name]"
  grep -q "the packaged image, byte for byte" "$work/sim-$name.err"
}

# The TCP ports a process listens on, in ascending order.
listening_ports() {
  ss -Hltnp 2>/dev/null | awk -v pid="pid=$1," 'index($0, pid) { n = split($4, a, ":"); print a[n] }' | sort -n
}

# ser2net takes its ports from its configuration: pick a random block, and
# take another when any of it was taken meanwhile (ser2net then does not
# listen on all of them).
start_ser2net() {
  local name=$1; shift
  local specs=("$@") n=$# attempt
  for attempt in $(seq 20); do
    local base=$(( 20000 + (RANDOM * 32768 + RANDOM) % 40000 )) i conf="$work/ser2net-$name.yaml"
    : >"$conf"
    for i in $(seq 0 $((n - 1))); do
      read -r kind pty <<<"${specs[$i]}"
      local acc="tcp"
      [ "$kind" = rfc2217 ] && acc="telnet(rfc2217),tcp"
      # chardelay off: ser2net passes each answer on at once instead of
      # waiting for more (the README's advice for a real server too).
      printf 'connection: &%s%d\n  accepter: %s,127.0.0.1,%d\n  connector: serialdev,%s,921600n81,local\n  options:\n    chardelay: false\n' \
        "$name" "$i" "$acc" $((base + i)) "$pty" >>"$conf"
    done
    # Started from a subshell that waits for it: a test may kill it with
    # SIGKILL, and the script itself then has no killed job to report.
    rm -f "$work/ser2net-$name.child"
    ( ser2net -n -u -c "$conf" -P "$work/ser2net-$name.pid" >"$work/ser2net-$name.log" 2>&1 &
      echo $! >"$work/ser2net-$name.child"
      wait ) 2>/dev/null &
    for _ in $(seq 100); do
      [ -s "$work/ser2net-$name.child" ] && break
      sleep 0.01
    done
    ser2net_pid[$name]=$(cat "$work/ser2net-$name.child")
    local want got
    want=$(seq "$base" $((base + n - 1)) | tr '\n' ' ')
    for _ in $(seq 100); do
      got=$(listening_ports "${ser2net_pid[$name]}" | tr '\n' ' ')
      [ "$got" = "$want" ] && break
      kill -0 "${ser2net_pid[$name]}" 2>/dev/null || break
      sleep 0.02
    done
    if [ "$got" = "$want" ]; then
      ser2net_ports[$name]="$want"
      return 0
    fi
    kill_ser2net "$name" KILL
  done
  echo "ser2net did not come up; its log:" >&2
  cat "$work/ser2net-$name.log" >&2
  return 1
}

# Stops a server (with the signal given) and waits until it is gone.
kill_ser2net() {
  local pid=${ser2net_pid[$1]}
  kill -"${2:-TERM}" "$pid" 2>/dev/null || true
  while kill -0 "$pid" 2>/dev/null; do sleep 0.01; done
  unset "ser2net_pid[$1]"
}

stop_all() {
  local k
  for k in "${!ser2net_pid[@]}"; do kill -TERM "${ser2net_pid[$k]}" 2>/dev/null || true; done
  for k in "${!sim_pid[@]}"; do kill -TERM "${sim_pid[$k]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
