#!/bin/sh
# A minimal updater for the launcher stub, in POSIX shell with two Linux tools (sync from GNU
# coreutils, flock from util-linux): installs a slot, asks the stub to try it, and tells
# afterwards what became of the request.
#
#   updater.sh install STATE_ROOT SLOT SOURCE_DIR
#       Copies SOURCE_DIR (its "entry-v1" and, when the install's seed carries a delivery record,
#       the matching "delivery-v1.json") into STATE_ROOT/slots/SLOT, "COMPLETE-v1" last.
#   updater.sh request STATE_ROOT SLOT REQUEST_ID
#       Writes STATE_ROOT/pending-v1.json, which asks the next start of the stub to try SLOT,
#       made against the generation that boot-v1.json holds now.
#   updater.sh status STATE_ROOT SLOT REQUEST_ID
#       Prints what became of the request, as one line whose first word is
#         waiting    the request is still on disk: no start has examined it yet, or the stub
#                    leaves it in place (docs/integration.md says when)
#         trial      it was adopted and SLOT is the candidate on trial
#         committed  SLOT was committed: it is the active slot
#         rejected   SLOT failed its three attempts and is on the rejected list
#         refused    the request was deleted without being adopted
#         ended      it was adopted once, but SLOT is now neither on trial, active nor rejected
#       The boot document keeps only the id of the request adopted last, so this tells about the
#       latest request: once a later one has been adopted, an earlier one reads as refused.
set -eu

die() {
  echo "updater: $*" >&2
  exit 1
}

# A slot id is 4 to 64 characters from 0-9 and a-f; a request id 8 to 64 from A-Z, a-z, 0-9,
# "-" and "_". The characters are spelt out: what a range holds depends on the locale.
check_slot() {
  case $1 in *[!0123456789abcdef]* | '') die "invalid slot id: $1" ;; esac
  [ ${#1} -ge 4 ] && [ ${#1} -le 64 ] || die "invalid slot id: $1"
}
check_request() {
  case $1 in
    *[!0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_-]* | '')
      die "invalid request id: $1" ;;
  esac
  [ ${#1} -ge 8 ] && [ ${#1} -le 64 ] || die "invalid request id: $1"
}

# The stub writes boot-v1.json as compact JSON with the keys in order, and its strings hold no
# quotes or backslashes, so a member can be cut out with sed.
member() {  # $1 = key, $2 = document; a string member's text, a number's digits, a list's items
  sed -n -e "s/.*\"$1\":\"\([^\"]*\)\".*/\1/p" -e "s/.*\"$1\":\([0-9][0-9]*\).*/\1/p" \
    -e "s/.*\"$1\":\[\([^]]*\)\].*/\1/p" "$2"
}

[ $# -eq 4 ] || die "usage: updater.sh install|request|status STATE_ROOT SLOT SOURCE_DIR|REQUEST_ID"
command=$1
state_root=$2
slot=$3
check_slot "$slot"
slot_dir=$state_root/slots/$slot
boot=$state_root/boot-v1.json
pending=$state_root/pending-v1.json

case $command in
  install)
    source_dir=$4
    [ -f "$source_dir/entry-v1" ] && [ -x "$source_dir/entry-v1" ] ||
      die "$source_dir has no executable entry-v1"
    [ ! -e "$source_dir/COMPLETE-v1" ] || die "$source_dir holds COMPLETE-v1: it is written last"
    mkdir -p "$state_root/slots"
    # mkdir claims the slot id, and fails when the slot is there already: a slot is never changed
    # once installed, since the stub may be running it.
    mkdir "$slot_dir" 2> /dev/null || die "slot $slot exists already"
    trap 'rm -rf "$slot_dir"' EXIT
    # The stub does not start the slot before "COMPLETE-v1" is there, so the files may arrive in
    # any order; they are on disk before it is written.
    cp -R "$source_dir/." "$slot_dir"
    find "$slot_dir" -exec sync -- {} +
    : > "$slot_dir/COMPLETE-v1"
    sync -- "$slot_dir/COMPLETE-v1" "$slot_dir" "$state_root/slots"
    trap - EXIT
    echo "installed slot $slot"
    ;;

  request)
    request=$4
    check_request "$request"
    [ -e "$slot_dir/COMPLETE-v1" ] || die "slot $slot is not installed"
    # Only a request made against the generation of the boot document as the next start finds
    # it is adopted. Without a boot document there is no generation to name: the stub writes
    # its first one at the first start.
    [ -f "$boot" ] || die "no boot-v1.json in $state_root yet: start the application once first"
    # Written beside the request under another name, made durable, and renamed over it.
    staging=$state_root/.pending-v1.json.updater-$$
    trap 'rm -f "$staging"' EXIT
    # The stub changes the generation, and reads and deletes a request, only while it holds
    # "state.lock": holding it from reading the generation to the rename keeps a request from
    # being made against a generation that has just gone, or from arriving between the stub's
    # reading of the old request and its deletion. The stub waits at most 5 s for the lock.
    (
      flock -w 5 9 || die "state.lock stayed busy"
      generation=$(member generation "$boot")
      [ -n "$generation" ] || die "cannot read the generation of $boot"
      printf '{"candidate":"%s","expectedGeneration":%s,"requestId":"%s","schemaVersion":1}' \
        "$slot" "$generation" "$request" > "$staging"
      sync -- "$staging"
      mv -f "$staging" "$pending"
      sync -- "$state_root"
      echo "requested slot $slot as $request against generation $generation"
    ) 9>> "$state_root/state.lock"
    ;;

  status)
    request=$4
    check_request "$request"
    if [ -f "$pending" ] && [ "$(member requestId "$pending")" = "$request" ]; then
      echo "waiting: $request is still in pending-v1.json"
      exit 0
    fi
    [ -f "$boot" ] || die "no boot-v1.json in $state_root"
    last=$(member lastRequestId "$boot")
    if [ "$last" != "$request" ]; then
      echo "refused: $request was deleted without being adopted"
      exit 0
    fi
    case ",$(member rejected "$boot")," in
      *,\"$slot\",*) rejected=true ;;
      *) rejected=false ;;
    esac
    if [ "$(member candidate "$boot")" = "$slot" ]; then
      echo "trial: $slot is on trial, $(member attemptCount "$boot") of 3 attempts used"
    elif $rejected; then
      active=$(member active "$boot")
      echo "rejected: $slot failed its attempts; the active slot is ${active:-none}"
    elif [ "$(member active "$boot")" = "$slot" ]; then
      echo "committed: $slot is the active slot"
    else
      echo "ended: $slot was adopted and is no longer on trial"
    fi
    ;;

  *) die "unknown command: $command" ;;
esac
