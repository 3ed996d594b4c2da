#!/usr/bin/env bash
# Runs one example host against vxsim and checks what the two print.
#
#   run_example.sh client|server EXAMPLE VXSIM [--expect LINE]... [-- VXSIM-ARGS...]
#
# client: vxsim listens on a free port ("listening on port N" tells which)
#         and the example, given N, connects to it.
# server: the example listens on a port given to it and says so with the
#         same line; then vxsim connects to it.
# Both must end with status 0, and every LINE must be a whole line of the
# output of one of them. $EMULATOR (e.g. wine64 with its settings) runs the
# programs of a Windows build.
set -uo pipefail
mode=$1 example=$2 vxsim=$3
shift 3
expected=()
while [ "${1:-}" = --expect ]; do expected+=("$2"); shift 2; done
[ "${1:-}" = -- ] && shift
read -ra emulator <<<"${EMULATOR:-}"
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
# 120 s for each program: generous, for wine and the sanitizers.
run() { timeout 120 "${emulator[@]}" "$@"; }

# Waits for "listening on port N" in file $1 while process $2 runs; prints N.
port_of() {
  for _ in $(seq 600); do
    sed -n 's/^listening on port \([0-9]*\).*/\1/p' "$1" | grep . && return 0
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

if [ "${mode}" = client ]; then
  run "${vxsim}" listen --port 0 "$@" >"${work}/vxsim" 2>&1 &
  sim=$!
  port=$(port_of "${work}/vxsim" ${sim}) && run "${example}" "${port}" >"${work}/example" 2>&1
  example_status=$?  # without a port the example never ran: it has no output
  wait "${sim}"
  sim_status=$?
else
  # A port below the ephemeral ranges, so that no client socket holds it;
  # another one if it is taken all the same.
  for _ in 1 2 3; do
    port=$((20000 + RANDOM % 7000))
    run "${example}" "${port}" >"${work}/example" 2>&1 &
    host=$!
    port_of "${work}/example" ${host} >/dev/null && break
    wait "${host}"
  done
  run "${vxsim}" connect --port "${port}" "$@" >"${work}/vxsim" 2>&1
  sim_status=$?
  wait "${host}"
  example_status=$?
fi

status=0
for result in "example ${example_status}" "vxsim ${sim_status}"; do
  read -r who code <<<"${result}"
  echo "--- ${who} (status ${code}):"
  tr -d '\r' <"${work}/${who}" | tee "${work}/${who}.txt"  # Windows programs end lines with CR LF
  [ "${code}" -eq 0 ] || { echo "FAIL: ${who} ended with status ${code}"; status=1; }
done
for line in "${expected[@]}"; do
  grep -qxF -- "${line}" "${work}/example.txt" "${work}/vxsim.txt" ||
    { echo "FAIL: no line \"${line}\""; status=1; }
done
exit ${status}
