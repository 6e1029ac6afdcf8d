#!/usr/bin/env bash
# Runs the example runtime and updater of examples/ against the built stub, the way
# docs/integration.md describes them: a committed update, a rejected one that falls back to the
# active slot, a restart that the runtime asks for to apply an update, a refused request, and a
# request that the stub leaves in place, which the runtime restarts for only once. It also checks
# that the reference quotes both examples as they stand, and stops the application with the
# reference's own stop line.
#
#   examples_test.sh SOURCE_DIR BUILD_DIR CMAKE
#
# The stub is put in place with the build's install rule. Under libfaketime, when it is there,
# the stub and its runtimes run on a clock ten times faster, so that a commit takes 6 s.
set -euo pipefail

source_dir=$1
build_dir=$2
cmake=$3
examples=$source_dir/examples

work=$(mktemp -d "${TMPDIR:-/tmp}/examples-test.XXXXXX")
stub_pid=
cleanup() {
  # A runtime left by a failed check is ended with its whole group.
  for group in $(sed -n 's/.*process group \([0-9][0-9]*\).*/\1/p' "$work"/out-* 2>/dev/null); do
    kill -KILL -- "-$group" 2>/dev/null || true
  done
  [ -z "$stub_pid" ] || kill -KILL "$stub_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*" >&2
  for f in "$work"/out-*; do
    [ -f "$f" ] && { echo "--- $(basename "$f")"; cat "$f"; } >&2
  done
  [ -f "$state/boot-v1.json" ] && echo "--- boot-v1.json: $(cat "$state/boot-v1.json")" >&2
  exit 1
}

quoted() {  # $1 = a marker line of docs/integration.md: the fenced block that follows it
  awk -v mark="$1" '
    $0 == mark { armed = 1; next }
    armed && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$source_dir/docs/integration.md"
}

# --- the reference quotes the examples verbatim ---
for name in runtime.sh updater.sh; do
  [ "$(quoted "<!-- quoted: examples/$name -->")" = "$(cat "$examples/$name")" ] ||
    fail "docs/integration.md does not quote examples/$name as it stands"
done

# --- an install, laid out as docs/integration.md says ---
install=$work/install
state=$install/state
"$cmake" --install "$build_dir" --prefix "$install" > /dev/null
[ -x "$install/launcher_stub" ] || fail "the install rule did not put launcher_stub at the top"
# Its libraries are looked for in seed/lib beside it, and nowhere else of the install's choosing:
# an empty entry in the path would stand for whatever the current directory is.
for stub in "$install/launcher_stub" "$build_dir/launcher_stub"; do
  runpath=$(readelf -d "$stub" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]$/\1/p')
  [ "$runpath" = '$ORIGIN/seed/lib' ] || fail "$stub looks for its libraries in '$runpath'"
done
mkdir "$install/seed"
cp "$examples/runtime.sh" "$install/seed/entry-v1"
printf '%s' '{"installId":"examples-test","schemaVersion":1,"seedSlot":"seed","stateRoot":"state"}' \
  > "$install/bootstrap-v1.json"

good=$work/good-runtime
mkdir "$good"
cp "$examples/runtime.sh" "$good/entry-v1"
broken=$work/broken-runtime
mkdir "$broken"
printf '#!/bin/sh\necho "[broken runtime] crashing before it is ready"\nexit 3\n' > "$broken/entry-v1"
chmod +x "$broken/entry-v1"

accelerate=(env)
faketime_lib=$(ls /usr/lib/*/faketime/libfaketime.so.1 2> /dev/null | head -n 1 || true)
if [ -n "$faketime_lib" ]; then
  asan_options=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0
  accelerate=(env LD_PRELOAD="$faketime_lib" FAKETIME="+0 x10" ASAN_OPTIONS="$asan_options")
else
  echo "libfaketime not found: each commit takes a minute"
fi

updater() { "$examples/updater.sh" "$@"; }
outcome() {  # $1 = slot, $2 = request id: the first word of the updater's status
  updater status "$state" "$1" "$2" | cut -d: -f1
}
member() {  # $1 = key of boot-v1.json
  sed -n -e "s/.*\"$1\":\"\([^\"]*\)\".*/\1/p" -e "s/.*\"$1\":\([0-9][0-9]*\).*/\1/p" \
    -e "s/.*\"$1\":\[\([^]]*\)\].*/\1/p" "$state/boot-v1.json"
}
expect() {  # $1 = what, $2 = actual, $3 = expected
  [ "$2" = "$3" ] || fail "$1: got '$2', expected '$3'"
}
run=0
run_stub() {  # runs the stub in the foreground, for at most 120 s; sets $code and $out
  run=$((run + 1))
  out=$work/out-$run
  set +e
  timeout 120 "${accelerate[@]}" "$install/launcher_stub" "$@" > "$out" 2> "$out.err"
  code=$?
  set -e
}
start_stub() {  # starts the stub in the background; sets $stub_pid and $out
  run=$((run + 1))
  out=$work/out-$run
  "${accelerate[@]}" "$install/launcher_stub" "$@" > "$out" 2> "$out.err" &
  stub_pid=$!
}
running() {  # $1 = process id of a child: whether it has not ended (an ended child not yet
  # waited for is a zombie, which kill -0 still finds)
  local state
  state=$(cut -d ' ' -f 3 "/proc/$1/stat" 2> /dev/null) && [ "$state" != Z ]
}
wait_until() {  # $1 = what, rest = a command that succeeds once it has happened
  local what=$1 waited=0
  shift
  until "$@"; do
    running "$stub_pid" || fail "the stub ended before: $what"
    [ "$waited" -lt 3000 ] || fail "not within 300 s: $what"
    sleep 0.1
    waited=$((waited + 1))
  done
}
# The reference's line for stopping the application. It is run as a stop script runs it, by
# /bin/sh (dash on Debian, whose built-in kill takes "--" only after "-s SIGNAL"), so a line that
# a shell refuses fails here. A negative id that does not follow "--" would be read as an option
# by the external kill and signal every process this account may signal, so such a line is not
# run at all.
stop_line=$(quoted "<!-- stop line -->")
case $stop_line in
  *"-- -PGID") ;;
  *) fail "the stop line of docs/integration.md does not end in '-- -PGID': '$stop_line'" ;;
esac
stop_application() {  # SIGTERM to the group of the last runtime started; sets $code
  local group waited=0
  group=$(sed -n 's/.*process group \([0-9][0-9]*\).*/\1/p' "$out" | tail -n 1)
  [ -n "$group" ] && [ "$group" -gt 1 ] || fail "no runtime reported its process group"
  /bin/sh -c "${stop_line//PGID/$group}" || fail "/bin/sh refused the stop line: $stop_line"
  # The runtime exits at once on SIGTERM, and the stub within a tick of it. This is not
  # wait_until, which takes the stub's end for a failure.
  while running "$stub_pid"; do
    [ "$waited" -lt 300 ] || fail "the stub still runs 30 s after: $stop_line"
    sleep 0.1
    waited=$((waited + 1))
  done
  set +e
  wait "$stub_pid"
  code=$?
  set -e
  stub_pid=
}
is_outcome() { [ "$(outcome "$1" "$2")" = "$3" ]; }
printed() { grep -q "$1" "$out"; }

# --- 1. the first start runs the seed and writes the first boot document ---
run_stub --work 0
expect "exit status of the first start" "$code" 0
grep -q '^\[runtime seed\]' "$out" || fail "the seed did not run"
expect "the first boot document" "$(cat "$state/boot-v1.json")" \
  '{"attemptCount":0,"generation":1,"rejected":[],"schemaVersion":1}'
[ ! -s "$out.err" ] || fail "the first start wrote to standard error"

# --- 2. a committed update ---
updater install "$state" a1a1a1a1 "$good" > /dev/null
updater request "$state" a1a1a1a1 update-0001 > /dev/null
expect "status before the next start" "$(outcome a1a1a1a1 update-0001)" waiting
start_stub --work 600
wait_until "a1a1a1a1 committed" is_outcome a1a1a1a1 update-0001 committed
stop_application
expect "exit status of a runtime stopped with SIGTERM" "$code" 0
expect "active after the commit" "$(member active)" a1a1a1a1
expect "previous after the first commit over the seed" "$(member previous)" ""
expect "generation after adoption and commit" "$(member generation)" 3
[ ! -s "$out.err" ] || fail "the committed update wrote to standard error"

# --- 3. a rejected update falls back to the active slot ---
updater install "$state" b2b2b2b2 "$broken" > /dev/null
updater request "$state" b2b2b2b2 update-0002 > /dev/null
run_stub --work 0
expect "exit status after the fallback" "$code" 0
expect "attempts of the broken slot" "$(grep -c '^\[broken runtime\]' "$out")" 3
grep -q '^\[runtime a1a1a1a1\]' "$out" || fail "the active slot did not run after the rejection"
expect "status of the broken update" "$(outcome b2b2b2b2 update-0002)" rejected
expect "active after the rejection" "$(member active)" a1a1a1a1
expect "rejected list" "$(member rejected)" '"b2b2b2b2"'

# --- 4. the runtime asks for a restart to apply an update that arrives while it runs ---
start_stub --work 600 --restart-for-update
wait_until "a1a1a1a1 running" printed '^\[runtime a1a1a1a1\] attempt'
updater install "$state" c3c3c3c3 "$good" > /dev/null
updater request "$state" c3c3c3c3 update-0003 > /dev/null
wait_until "c3c3c3c3 committed in the same run" is_outcome c3c3c3c3 update-0003 committed
printed '^\[runtime a1a1a1a1\] update update-0003 is waiting: restarting' ||
  fail "a1a1a1a1 did not ask for the restart"
stop_application
expect "exit status after the restart and the commit" "$code" 0
expect "active after the restart" "$(member active)" c3c3c3c3
expect "previous after the restart" "$(member previous)" a1a1a1a1

# --- 5. a request for a rejected slot is refused and deleted ---
updater request "$state" b2b2b2b2 update-0004 > /dev/null
run_stub --work 0
expect "exit status with a refused request" "$code" 0
grep -q '^\[runtime c3c3c3c3\]' "$out" || fail "the active slot did not run"
expect "status of the refused request" "$(outcome b2b2b2b2 update-0004)" refused
[ ! -e "$state/pending-v1.json" ] || fail "the refused request is still on disk"
expect "active after the refusal" "$(member active)" c3c3c3c3

# --- 6. a request that the stub leaves in place is restarted for once, not at every start ---
updater install "$state" d4d4d4d4 "$good" > /dev/null
updater request "$state" d4d4d4d4 update-0005 > /dev/null
# A bootstrap of another schema version: candidate handling is off for the run, so the request
# stays on disk, while a restart that names it still counts.
printf '%s' '{"schemaVersion":2,"stateRoot":"state"}' > "$install/bootstrap-v1.json"
run_stub --work 3 --restart-for-update
expect "exit status with a request left in place" "$code" 0
expect "restarts asked for" "$(grep -c 'is waiting: restarting' "$out")" 1
expect "launches of the active slot" "$(grep -c '^\[runtime c3c3c3c3\] attempt' "$out")" 2
expect "status of the request left in place" "$(outcome d4d4d4d4 update-0005)" waiting

echo "examples passed"
