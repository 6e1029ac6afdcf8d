#!/usr/bin/env bash
# Demonstration: builds the stub, lays out an install whose seed is the example runtime, and plays
# the install's updater between runs with the example updater: first an update that is committed,
# then one whose runtime crashes at start and is rolled back. Everything lives under
# build/demo-install; run it again to start afresh.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
cmake -S . -B build/demo "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/demo --target launcher_stub >/dev/null

install=$top/build/demo-install
rm -rf "$install"
cmake --install build/demo --prefix "$install" >/dev/null
mkdir -p "$install/seed"
cp examples/runtime.sh "$install/seed/entry-v1"
cat > "$install/bootstrap-v1.json" <<'JSON'
{"schemaVersion":1,"installId":"demo-install","seedSlot":"seed","stateRoot":"state"}
JSON
state=$install/state
updater() { examples/updater.sh "$@" | sed 's/^/  updater: /'; }

show() { echo "  $1: $(cat "$2" 2>/dev/null || echo '(none)')"; }
run() {
  echo "\$ launcher_stub $*"
  set +e
  "${accelerate[@]}" "$install/launcher_stub" "$@"
  code=$?
  set -e
  echo "  exit code $code"
}

# A candidate must stay healthy for 60 s before it is committed. With libfaketime the demo runs
# the stub and its runtime on a clock 30 times faster, so that takes two seconds.
accelerate=(env)
faketime_lib=$(ls /usr/lib/*/faketime/libfaketime.so.1 2>/dev/null | head -n 1 || true)
if [ -n "$faketime_lib" ]; then
  accelerate=(env LD_PRELOAD="$faketime_lib" FAKETIME="+0 x30" FAKETIME_NO_CACHE=1)
fi

echo "== 1. First start: no state yet, so the install's seed runs"
run hello
show "boot-v1.json" "$state/boot-v1.json"

echo
echo "== 2. An updater installs slot c0ffee01 and asks for it to be tried"
release=$install/downloads/c0ffee01
mkdir -p "$release"
cp examples/runtime.sh "$release/entry-v1"
updater install "$state" c0ffee01 "$release"
updater request "$state" c0ffee01 demo-request-1
show "pending-v1.json" "$state/pending-v1.json"
[ -n "$faketime_lib" ] || echo "  (libfaketime not found: the candidate's 60 s health period runs in real time)"
echo "  (the runtime works for 65 s, so that it is committed while it runs)"
run --work 65 again
show "boot-v1.json (after)" "$state/boot-v1.json"
show "boot-v1.previous.json" "$state/boot-v1.previous.json"
updater status "$state" c0ffee01 demo-request-1

echo
echo "== 3. The next start runs the committed slot"
accelerate=(env)
run third
show "boot-v1.json" "$state/boot-v1.json"

# The second act: a candidate that never comes up. Its runtime exits with code 1 before it writes
# its ready marker, so every attempt fails at once and no accelerated clock is needed.
echo
echo "== 4. An updater installs slot 0badc0de, whose runtime crashes at start"
broken=$install/downloads/0badc0de
mkdir -p "$broken"
cat > "$broken/entry-v1" <<'SCRIPT'
#!/bin/sh
nonce=$(sed -n 's/.*"nonce":"\([^"]*\)".*/\1/p' "$VORLENT_BOOT_ATTEMPT_DIR/boot-v1.json")
echo "[broken runtime 0badc0de] attempt $nonce: crashing before it is ready (exit code 1)"
exit 1
SCRIPT
chmod +x "$broken/entry-v1"
updater install "$state" 0badc0de "$broken"
updater request "$state" 0badc0de demo-request-2
show "pending-v1.json" "$state/pending-v1.json"

echo
echo "== 5. One start: three failed tries of 0badc0de, then the active slot runs"
errors=$install/stub-stderr.txt
run fourth 2> "$errors"
echo "  the stub's messages on standard error:"
if [ -s "$errors" ]; then
  sed 's/^/    /' "$errors"
else
  echo "    (none: a rejected candidate is recorded in the boot document, not reported as an error)"
fi
show "boot-v1.json" "$state/boot-v1.json"
updater status "$state" 0badc0de demo-request-2
