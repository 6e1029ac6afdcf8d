#!/bin/sh
# A minimal runtime for the launcher stub, in POSIX shell: what a slot's "entry-v1" does.
#
#   entry-v1 [--work SECONDS] [--restart-for-update] [ARGUMENT...]
#
# The stub starts it with the arguments of its own command line. It
#   1. reads its slot and nonce from the attempt record that the stub wrote for this launch,
#   2. reports ready ("ready-v1"), then healthy ("healthy-v1"),
#   3. works for SECONDS (default 0), looking once a second for an update that an updater has
#      asked for; with --restart-for-update it then asks the stub to start it again, naming that
#      request, and exits 0, so that the stub tries the update at once,
#   4. exits 0, also when it is asked to stop with SIGTERM.
set -eu

attempt_dir=${VORLENT_BOOT_ATTEMPT_DIR:?not started by the launcher stub}
state_root=$VORLENT_BOOT_STATE_ROOT

# The stub writes its documents as compact JSON with the keys in order (and the example updater
# writes pending-v1.json so too), and slot ids, nonces and request ids hold no quotes or
# backslashes, so a string member can be cut out with sed.
member() {  # $1 = key of a string member, $2 = document
  sed -n "s/.*\"$1\":\"\([^\"]*\)\".*/\1/p" "$2"
}
slot=$(member slot "$attempt_dir/boot-v1.json")
nonce=$(member nonce "$attempt_dir/boot-v1.json")

# Written under another name in the same directory and renamed into place, so that the stub
# never reads half a document.
put() {  # $1 = file name in the attempt directory, $2 = content
  printf '%s' "$2" > "$attempt_dir/.$1.tmp"
  mv -f "$attempt_dir/.$1.tmp" "$attempt_dir/$1"
}

trap 'echo "[runtime $slot] stopped"; exit 0' TERM
arguments=$*
work=0
restart_for_update=false
while [ $# -gt 0 ]; do
  case $1 in
    --work) work=$2; shift ;;
    --restart-for-update) restart_for_update=true ;;
  esac
  shift
done

marker="{\"nonce\":\"$nonce\",\"schemaVersion\":1,\"slot\":\"$slot\"}"
# Ready once it has started: from now on its exit status is its own result, and the stub no
# longer falls back to another slot when it fails (a candidate: once it is committed).
put ready-v1 "$marker"
# Healthy once it works: a candidate is committed 60 seconds after the stub has seen this.
put healthy-v1 "$marker"
echo "[runtime $slot] attempt $nonce, process group $$, arguments: $arguments"

elapsed=0
while [ "$elapsed" -lt "$work" ]; do
  pending=$state_root/pending-v1.json
  if $restart_for_update && [ -f "$pending" ]; then
    request=$(member requestId "$pending")
    # A request that the stub leaves in place (an unreadable boot document, a bootstrap of another
    # schema version) is still waiting after the restart. The attempt directory of the launch
    # before is kept at a start-up, so a restart already asked for that request shows there.
    if [ -n "$request" ] &&
      ! grep -qs "\"requestId\":\"$request\"" "$state_root"/attempts/*/restart-v1.json; then
      put restart-v1.json \
        "{\"nonce\":\"$nonce\",\"requestId\":\"$request\",\"schemaVersion\":1,\"slot\":\"$slot\"}"
      echo "[runtime $slot] update $request is waiting: restarting"
      exit 0
    fi
  fi
  # In the background, so that SIGTERM is acted on at once rather than after the sleep. A SIGTERM
  # to the whole group ends the sleep too, and the shell's note of that goes nowhere.
  { sleep 1 & wait $!; } 2> /dev/null || true
  elapsed=$((elapsed + 1))
done
echo "[runtime $slot] done"
