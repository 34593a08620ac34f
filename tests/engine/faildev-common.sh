# Sourced by the failing-device scripts: what they all need before their
# first volume. usage: faildev_begin NAME TOOL...
# Checks FUSE, fusepy and the named tools (exit 77 without /dev/fuse), makes
# the work folder $work with the device mount $mnt and the NTFS mount
# $work/ntfsmnt, and removes both mounts, the FUSE server $fuse_pid and the
# folder on exit. Sets bin, fix, wine, py, fail, t0 and winpath.
faildev_begin() {
  local name="$1"; shift
  bin="${DELVARO_UNIX_BIN:?}"
  fix="${DELVARO_UNIX_FIXTURES:?}"
  wine="${DELVARO_WINE64:-/usr/lib/wine/wine64}"
  py=/usr/bin/python3  # Debian's, with python3-fusepy
  if [ ! -e /dev/fuse ]; then
    echo "skipped: /dev/fuse is missing, so no failing device can be served"
    exit 77
  fi
  "$py" -c 'import fusepy' 2>/dev/null || { echo "missing python3-fusepy (scripts/setup.sh installs it)"; exit 1; }
  local t
  for t in "$@"; do
    command -v "$t" >/dev/null || { echo "missing $t (scripts/setup.sh --tools installs it)"; exit 1; }
  done
  work="$(mktemp -d "/tmp/$name.XXXXXX")"
  mnt="$work/mnt"
  mkdir -p "$mnt" "$work/ntfsmnt"
  fuse_pid=""
  trap faildev_cleanup EXIT
  fail=0
  t0=$SECONDS
}
faildev_cleanup() {
  if mountpoint -q "$mnt"; then umount "$mnt" 2>/dev/null || umount -l "$mnt"; fi
  if mountpoint -q "$work/ntfsmnt"; then umount "$work/ntfsmnt" 2>/dev/null || umount -l "$work/ntfsmnt"; fi
  [ -n "$fuse_pid" ] && kill "$fuse_pid" 2>/dev/null
  rm -rf "$work"
}
winpath() { echo "Z:${1//\//\\}"; }

# run NAME TOOL ARGS...: the tool's rows in $work/NAME.rows, its messages in
# $work/NAME.err; the files it writes go to $work/NAME. Any exit code but 0
# fails the test; a run may take $run_limit seconds (120 unless set).
run() {
  local name="$1"; shift
  (cd "$bin" && timeout "${run_limit:-120}" "$wine" "$@") 2> "$work/$name.err" | tr -d '\r' > "$work/$name.rows"
  local rc=${PIPESTATUS[0]}
  if [ "$rc" != 0 ]; then echo "$name: exit code $rc"; cat "$work/$name.err"; tail -n 3 "$work/$name.rows"; fail=1; fi
  echo "$name ($((SECONDS - t0)) s): $(tail -n 1 "$work/$name.rows")"
}
recover() { # recover NAME IMAGE
  run "$1" ./recover.exe deleted "$(winpath "$2")" "$(winpath "$work/$1")" --full-path --letter X
}
carved() { # carved NAME IMAGE RESULT: the saved deep scan recovered from IMAGE
  run "$1" ./scan.exe deep "$(winpath "$2")" --letter X --load "$(winpath "$3")" --recover "$(winpath "$work/$1")"
  # The loaded entries come first (six columns), then the recovery's rows.
}

# faildev_serve CONFIG: serves the failing devices of CONFIG (faildev.py) on
# $mnt and waits until it is mounted (up to a minute: the FUSE server is a
# Python process that a loaded machine starts slowly; a server that ends
# first fails at once). Nothing is read from it here: some devices count
# their reads.
faildev_serve() {
  "$py" "$here/faildev.py" "$1" "$mnt" 2> "$work/faildev.log" &
  fuse_pid=$!
  for _ in $(seq 600); do
    mountpoint -q "$mnt" && return 0
    kill -0 "$fuse_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "the failing device did not mount"; cat "$work/faildev.log"; exit 1
}
