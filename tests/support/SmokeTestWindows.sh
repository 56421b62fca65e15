#!/usr/bin/env bash
# End-to-end smoke test of the Windows build: msgserver.exe under Wine, configured from a
# .serverrc and started through its console (S); two clients on the Linux side (the project's
# own msgclient, built for Linux) log in over loopback and one sends the other a private
# message; then the operator lists the users and quits (Q), and the server ends with 0.
# Then the hidden entry on a real Windows console: the server runs again, on a Wine console
# over a pseudo-terminal (script), and the operator adds a user: the name is echoed, the
# password is not, and the record reaches the password file.
# Usage: SmokeTestWindows.sh MSGSERVER_EXE LINUX_MSGCLIENT WINE_RUNNER
# Every wait is bounded; whatever fails, the processes started here are ended.
set -uo pipefail

server_exe=$(realpath "$1")
client=$(realpath "$2")
wine_run=$(realpath "$3")
work=$(mktemp -d "${TMPDIR:-/tmp}/msgserver-smoke.XXXXXX")
server_pid=""
bob_pid=""

finish() {
  exec 3>&- 4>&- 2>/dev/null
  [ -n "$bob_pid" ] && kill "$bob_pid" 2>/dev/null
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT

fail() {
  echo "SMOKE TEST FAILED: $*"
  for log in server.out bob.out alice.out .servererrors connectionlog console.out; do
    [ -f "$work/$log" ] && { echo "--- $log"; cat "$work/$log"; }
  done
  exit 1
}

# Waits (at most $3 seconds) until file $1 contains the text $2.
wait_for() {
  local deadline=$((SECONDS + $3))
  until grep -qF -- "$2" "$1" 2>/dev/null; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.1
  done
}

# A port nobody listens on.
port=""
for attempt in $(seq 1 50); do
  candidate=$((20000 + RANDOM % 40000))
  if ! (exec 5<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
    port=$candidate
    break
  fi
done
[ -n "$port" ] || fail "no free port found"

cd "$work" || exit 1
cat > .serverrc <<RC
port $port
security FREEFORALL
hostcheck FALSE
mcastaddress 239.1.2.3
mcastport 6000
RC
touch passwd hosts

echo "== smoke test: msgserver.exe under Wine on port $port"
mkfifo console bobinput
"$wine_run" "$server_exe" < console > server.out 2>&1 &
server_pid=$!
exec 3> console
wait_for server.out "Enter command> " 60 || fail "no console prompt"
echo S >&3
wait_for server.out "Server started." 30 || fail "the service did not start"

"$client" 127.0.0.1 "$port" < bobinput > bob.out 2>&1 &
bob_pid=$!
exec 4> bobinput
wait_for bob.out "Login: " 15 || fail "bob got no login prompt"
echo bob >&4
wait_for bob.out "Logged in as bob." 15 || fail "bob did not log in"

echo "hello from alice" | timeout 30 "$client" --user alice --to bob 127.0.0.1 "$port" \
  > alice.out 2>&1 || fail "alice's message did not go out"
wait_for bob.out "alice (private): hello from alice" 15 || fail "bob did not get the message"

listed_from=$(($(stat -c %s server.out) + 1))
echo L >&3
deadline=$((SECONDS + 15))
until tail -c +"$listed_from" server.out | grep -q "^bob"; do
  [ $SECONDS -ge $deadline ] && fail "the user list does not show bob"
  sleep 0.1
done
echo /quit >&4
exec 4>&-
timeout 15 bash -c "while kill -0 $bob_pid 2>/dev/null; do sleep 0.1; done" || fail "bob did not quit"
wait "$bob_pid"
bob_pid=""

echo Q >&3
exec 3>&-
timeout 30 bash -c "while kill -0 $server_pid 2>/dev/null; do sleep 0.1; done" || fail "Q did not end the server"
wait "$server_pid"
status=$?
server_pid=""
[ "$status" -eq 0 ] || fail "the server ended with $status"
grep -qF "Exiting." server.out || fail "no Exiting. on Q"
grep -q "^Connect: USER: alice" connectionlog || fail "the connection log lacks alice"
grep -q "^Connect: USER: bob" connectionlog || fail "the connection log lacks bob"
if grep -q $'\r' connectionlog; then fail "the connection log has CR LF line ends"; fi

echo "== smoke test: a password typed at the Windows console is not echoed"
printf 'root:x:Root\n' > passwd
mkfifo typed
script -qfec "$wine_run $server_exe" /dev/null < typed > console.out 2>&1 &
server_pid=$!
exec 3> typed
# What the console shows, without its cursor movements and spaces.
shown() { sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' console.out 2>/dev/null | tr -d ' \r'; }
shows() {
  local deadline=$((SECONDS + $2))
  until shown | grep -qF -- "$1"; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.1
  done
}
shows "Entercommand>" 60 || fail "no prompt on the console: $(shown | tail -5)"
printf 'U\r' >&3
shows "Enterusername>" 15 || fail "no name prompt on the console"
printf 'dave\r' >&3
shows "Enterpassword>" 15 || fail "no password prompt on the console"
printf 's3cret\r' >&3
shows "Confirmpassword>" 15 || fail "no confirmation prompt on the console"
printf 's3cret\r' >&3
shows "Enterfullnameforuser>" 15 || fail "no full-name prompt on the console"
printf 'Dave Doe\r' >&3
shows "Addeduser:dave." 15 || fail "the user was not added at the console"
printf 'Q\r' >&3
shows "Exiting." 15 || fail "Q did not end the server at the console"
exec 3>&-
timeout 30 bash -c "while kill -0 $server_pid 2>/dev/null; do sleep 0.1; done" || fail "the console server did not end"
server_pid=""
shown | grep -qF "Enterusername>dave" || fail "the user name was not echoed"
if shown | grep -qF "s3cret"; then fail "the password was echoed at the console"; fi
[ "$(cat passwd)" = $'root:x:Root\ndave:s3cret:Dave Doe' ] || fail "the password file is not as expected"

echo "== smoke test passed: two clients logged in, a private message went through, Q ended the server;"
echo "   at the console the password was hidden and the user added"
