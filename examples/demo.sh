#!/usr/bin/env bash
# Demonstration: builds the stub, lays out an install with a tiny seed runtime, and plays the
# install's other programs (runtimes put into slots, pending requests) between runs: first an
# update that is committed, then one whose runtime crashes at start and is rolled back.
# Everything lives under build/demo-install; run it again to start afresh.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
cmake -S . -B build/demo "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/demo --target launcher_stub >/dev/null

install=$top/build/demo-install
rm -rf "$install"
mkdir -p "$install/seed"
cp build/demo/launcher_stub "$install/"
cat > "$install/bootstrap-v1.json" <<'JSON'
{"schemaVersion":1,"installId":"demo-install","seedSlot":"seed","stateRoot":"state"}
JSON
state=$install/state

# A runtime as a shell script: it learns its slot and nonce from its attempt record, reports
# ready and healthy, and then does its "work".
runtime() {  # $1 = name shown, $2 = seconds of work after reporting healthy
  cat <<SCRIPT
#!/bin/sh
record="\$VORLENT_BOOT_ATTEMPT_DIR/boot-v1.json"
slot=\$(sed -n 's/.*"slot":"\([^"]*\)".*/\1/p' "\$record")
nonce=\$(sed -n 's/.*"nonce":"\([^"]*\)".*/\1/p' "\$record")
marker="{\"nonce\":\"\$nonce\",\"schemaVersion\":1,\"slot\":\"\$slot\"}"
printf '%s' "\$marker" > "\$VORLENT_BOOT_ATTEMPT_DIR/ready-v1"
printf '%s' "\$marker" > "\$VORLENT_BOOT_ATTEMPT_DIR/healthy-v1"
echo "    [$1] running as slot \$slot, attempt \$nonce, arguments: \$*"
sleep $2
echo "    [$1] done"
SCRIPT
}
runtime "seed runtime" 0 > "$install/seed/entry-v1"
chmod +x "$install/seed/entry-v1"

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
slot=$state/slots/c0ffee01
mkdir -p "$slot"
runtime "new runtime c0ffee01" 61 > "$slot/entry-v1"
chmod +x "$slot/entry-v1"
touch "$slot/COMPLETE-v1"
printf '%s' '{"schemaVersion":1,"requestId":"demo-request-1","expectedGeneration":1,"candidate":"c0ffee01"}' \
  > "$state/pending-v1.json"
show "pending-v1.json" "$state/pending-v1.json"
[ -n "$faketime_lib" ] || echo "  (libfaketime not found: the candidate's 60 s health period runs in real time)"
run again
show "boot-v1.json (after)" "$state/boot-v1.json"
show "boot-v1.previous.json" "$state/boot-v1.previous.json"

echo
echo "== 3. The next start runs the committed slot"
accelerate=(env)
sed -i 's/^sleep .*/sleep 0/' "$slot/entry-v1"
run third
show "boot-v1.json" "$state/boot-v1.json"

# The second act: a candidate that never comes up. Its runtime exits with code 1 before it writes
# its ready marker, so every attempt fails at once and no accelerated clock is needed.
field() {  # $1 = field of boot-v1.json with a plain value
  sed -n "s/.*\"$1\":\(\[[^]]*\]\|\"[^\"]*\"\|[0-9][0-9]*\).*/\1/p" "$state/boot-v1.json"
}

echo
echo "== 4. An updater installs slot 0badc0de, whose runtime crashes at start"
bad=$state/slots/0badc0de
mkdir -p "$bad"
cat > "$bad/entry-v1" <<'SCRIPT'
#!/bin/sh
nonce=$(sed -n 's/.*"nonce":"\([^"]*\)".*/\1/p' "$VORLENT_BOOT_ATTEMPT_DIR/boot-v1.json")
echo "    [broken runtime 0badc0de] attempt $nonce: crashing before it is ready (exit code 1)"
exit 1
SCRIPT
chmod +x "$bad/entry-v1"
touch "$bad/COMPLETE-v1"
generation=$(field generation)
printf '{"schemaVersion":1,"requestId":"demo-request-2","expectedGeneration":%s,"candidate":"0badc0de"}' \
  "$generation" > "$state/pending-v1.json"
show "pending-v1.json" "$state/pending-v1.json"
echo "  (made against generation $generation, the current one, so the next start adopts it)"

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
candidate=$(field candidate)
echo "  look at: rejected $(field rejected), active still $(field active)," \
  "candidate ${candidate:-none}"
