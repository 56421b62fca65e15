#!/usr/bin/env bash
# Measures msgserver against the reference relay in one run: builds a Release msgserver and
# msgbench (build-release/) and the relay (build-release/limit-relay), starts msgserver in a
# temporary folder (port, capacity 1000, multicast address) through its console, starts the
# relay on another port, runs msgbench with both process ids and the given options, so that
# every scenario runs against both and each figure is also a ratio to the relay's, and stops
# both. Every wait is bounded; whatever happens, the processes started here are ended and the
# folder removed.
#
# Usage: tools/msgbench/compare.sh [msgbench options...]
#   e.g. tools/msgbench/compare.sh --duration 2
#        tools/msgbench/compare.sh --scenario logins --users 500
# Environment: SERVER_PORT (15461), RELAY_PORT (15462), RELAY_SOURCE (the relay's source,
# /work/shared/bench/limit-relay.cpp), BENCH_SECONDS (the longest msgbench may run: 1800),
# SKIP_BUILD=1 to use what is built.
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build-release"
server_port=${SERVER_PORT:-15461}
relay_port=${RELAY_PORT:-15462}
relay_source=${RELAY_SOURCE:-/work/shared/bench/limit-relay.cpp}
bench_seconds=${BENCH_SECONDS:-1800}

work=""
server_pid=""
relay_pid=""

finish() {
  exec 3>&- 2>/dev/null
  [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  [ -n "$relay_pid" ] && wait "$relay_pid" 2>/dev/null
  [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null
  [ -n "$work" ] && rm -rf "$work"
}
trap finish EXIT
trap 'exit 130' INT TERM

fail() {
  echo "compare.sh: $*" >&2
  [ -n "$work" ] && [ -f "$work/server.log" ] && { echo "--- server console" >&2; cat "$work/server.log" >&2; }
  exit 2
}

# Waits at most $2 tenths of a second until the command $1 succeeds.
wait_until() {
  local tries=0
  until eval "$1"; do
    tries=$((tries + 1))
    [ "$tries" -ge "$2" ] && return 1
    sleep 0.1
  done
}

# True while something listens on TCP port $1 (IPv4, state 0A).
listening() {
  local hex
  hex=$(printf '%04X' "$1")
  awk -v port=":$hex" 'NR > 1 && $4 == "0A" && substr($2, length($2) - 4) == port { found = 1 }
                       END { exit !found }' /proc/net/tcp
}

if [ "${SKIP_BUILD:-0}" != 1 ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF > /dev/null ||
    fail "cmake could not configure $build"
  cmake --build "$build" -j2 --target msgserver msgbench > /dev/null || fail "the build failed"
  if [ ! -x "$build/limit-relay" ] || [ "$relay_source" -nt "$build/limit-relay" ]; then
    g++ -std=c++17 -O2 -pthread -o "$build/limit-relay" "$relay_source" ||
      fail "the relay did not build from $relay_source"
  fi
fi
for program in msgserver msgbench limit-relay; do
  [ -x "$build/$program" ] || fail "$build/$program is missing"
done
listening "$server_port" && fail "port $server_port is taken (set SERVER_PORT)"
listening "$relay_port" && fail "port $relay_port is taken (set RELAY_PORT)"

# A thousand users need a thousand sockets in each program: the soft limit goes to the hard one.
ulimit -S -n "$(ulimit -H -n)" 2> /dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/msgbench-compare.XXXXXX") || fail "no temporary folder"
printf 'port %s\ncapacity 1000\nmcastaddress 239.1.2.3\n' "$server_port" > "$work/.serverrc"
mkfifo "$work/console" || fail "no console pipe"
(cd "$work" && exec "$build/msgserver" < console > server.log 2>&1) &
server_pid=$!
exec 3> "$work/console"  # the console stays open until Q
echo S >&3
wait_until 'grep -q "Server started." "$work/server.log"' 100 || fail "msgserver did not start"

"$build/limit-relay" "$relay_port" --max-seconds $((bench_seconds + 60)) > "$work/relay.log" 2>&1 &
relay_pid=$!
wait_until 'listening "$relay_port"' 50 || fail "the relay did not start: $(cat "$work/relay.log")"

echo "compare.sh: msgserver pid $server_pid on port $server_port, relay pid $relay_pid on port" \
  "$relay_port; load $(cut -d' ' -f1-3 /proc/loadavg)"
timeout "$bench_seconds" "$build/msgbench" --port "$server_port" --server-pid "$server_pid" \
  --compare-port "$relay_port" --compare-pid "$relay_pid" "$@"
status=$?
echo "compare.sh: msgbench ended with $status; load $(cut -d' ' -f1-3 /proc/loadavg)"

echo Q >&3
exec 3>&-
if wait_until '! kill -0 "$server_pid" 2> /dev/null' 300; then
  wait "$server_pid" 2> /dev/null
  server_pid=""
else
  echo "compare.sh: msgserver did not stop within 30 s of Q; ended" >&2
fi
exit "$status"
