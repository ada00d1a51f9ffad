#!/usr/bin/env bash
# Runs the README's Quick start commands, read from README.md, in a fresh
# Debian 12 root made with mmdebstrap, as a new user's machine would run them:
# the first installs, builds and runs the sample; the second installs what
# the tests need and runs the whole suite, none of it skipped. Then a video
# run, and the Python module's install line where the tree has that module.
# Needs root, mmdebstrap and Debian's mirror.
#   tests/fresh/fresh_root.sh [--keep] [--logs DIR]
#     --keep: leave the root (unmounted); --logs: copy the commands' logs there
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
keep=0
logs=""
while [ $# -gt 0 ]; do
  case $1 in
    --keep) keep=1 ;;
    --logs) logs=${2:?--logs needs a folder}; shift ;;
    *) echo "usage: $0 [--keep] [--logs DIR]" >&2; exit 2 ;;
  esac
  shift
done

fail() { echo "fresh root: FAILED: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || fail "needs root (chroot and mounts)"
command -v mmdebstrap >/dev/null || fail "needs mmdebstrap (scripts/install-deps ci installs it)"

work=$(mktemp -d "${TMPDIR:-/var/tmp}/zemb-fresh.XXXXXX")
root=$work/root
mounted=()   # mount points inside the root, in the order they were mounted
runner=""    # process id of the command running in the root

mounts_under_root() { awk -v r="$root" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/mounts; }
cleanup() {
  local status=$? i
  trap - EXIT INT TERM HUP
  if [ -n "$runner" ] && kill -0 "$runner" 2>/dev/null; then
    kill -TERM -- "-$runner" 2>/dev/null || true   # its own process group, made by setsid
    sleep 2
    kill -KILL -- "-$runner" 2>/dev/null || true
  fi
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount --lazy "${mounted[i]}" ||
      echo "fresh root: cannot unmount ${mounted[i]}" >&2
  done
  # Removing the root through a bind mount of /dev would remove this
  # machine's devices: never while anything is mounted in it.
  if [ -n "$(mounts_under_root)" ]; then
    echo "fresh root: still mounted, so $work is left in place:" $(mounts_under_root) >&2
    exit 1
  fi
  if [ -n "$logs" ]; then
    mkdir -p "$logs" && cp "$work"/*.log "$logs"/ 2>/dev/null || true
  fi
  if [ $keep = 1 ]; then
    echo "fresh root: kept in $root"
  else
    rm -rf --one-file-system "$work"
  fi
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

mount_in_root() {   # mount_in_root MOUNT-ARGS... TARGET
  local target=${*: -1}
  mount "$@"
  mounted+=("$target")
}
seconds() { date +%s; }
start=$(seconds)
echo "== Fresh Debian 12 root in $root"
mkdir "$root"
if [ $keep = 0 ]; then
  # In memory: dpkg's and the build's many small writes go faster, and the
  # root goes with an unmount, without a recursive delete.
  mount_in_root -t tmpfs -o size=8G,mode=0755 zemb-fresh "$root"
fi
mmdebstrap --quiet --variant=apt bookworm "$root" || fail "mmdebstrap could not make the root"
echo "made in $(( $(seconds) - start )) s"

# The tree as git knows it (committed or not, less what .gitignore leaves out),
# so that no build folder of this checkout comes along.
mkdir -p "$root/root/zemb"
(cd "$repo" && git ls-files -z --cached --others --exclude-standard |
   tar --null --ignore-failed-read --no-recursion -T - -cf -) 2>/dev/null | tar -xf - -C "$root/root/zemb"

mount_in_root -t proc proc "$root/proc"
mount_in_root --bind /dev "$root/dev"
mount -o remount,bind,ro "$root/dev"   # nothing in the root can change this machine's /dev
mount_in_root --bind /dev/pts "$root/dev/pts"   # the terminal tests open pseudo-terminals

# in_root LOG COMMAND: runs COMMAND with bash in the copy of the tree, as root
# with a login's plain environment, and times it.
in_root() {
  local log=$1 command=$2 t0 status
  t0=$(seconds)
  setsid chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c "cd /root/zemb && $command" </dev/null >"$work/$log" 2>&1 &
  runner=$!
  status=0
  wait "$runner" || status=$?
  runner=""
  elapsed=$(( $(seconds) - t0 ))
  echo "-- $log: status $status, $elapsed s; its last lines:"
  tail -n 12 "$work/$log" | sed 's/^/   | /'
  return $status
}

build_command=$("$repo/tests/fresh/readme_command.sh" build)
test_command=$("$repo/tests/fresh/readme_command.sh" test)

echo "== The README's first command: $build_command"
in_root build.log "$build_command" || fail "the README's first command failed in a fresh root"
masks=$(ls "$root/root/zemb/sample-run" | grep -c '^walkMask\.[0-9]*\.pgm$' || true)
[ "$masks" = 50 ] || fail "the first command left $masks masks in sample-run/, not 50"
grep -q "masks: /root/zemb/sample-run/" "$work/build.log" || fail "the first command did not say where the masks went"

echo "== The README's test command: $test_command"
in_root test.log "$test_command" || fail "the README's test command failed in a fresh root"
grep -q '^100% tests passed' "$work/test.log" || fail "ctest did not report every test passed"
# A skipped test, or a suite the build left out, is a route the fresh machine
# did not test: a package missing from the test group.
left_out=$(grep -E '^-- .*(skipped|Tests off)' "$work/test.log" | grep -v ' compiler.* - skipped$' || true)
[ -z "$left_out" ] || fail "the build left tests out in the fresh root: $left_out"
if grep -qE '\*\*\*Skipped|Not Run' "$work/test.log"; then
  grep -E '\*\*\*Skipped|Not Run' "$work/test.log" >&2
  fail "tests skipped in the fresh root: packages/debian.txt's test group lacks what they need"
fi

echo "== A video made from the sample: zemb's masks equal those of its frames exploded by ffmpeg"
in_root video.log '
  set -e
  mkdir -p video-run/f && cd video-run
  ffmpeg -loglevel error -y -start_number 1 -framerate 25 -i ../sample-run/walk.%d.ppm -c:v libx264 -pix_fmt yuv420p walk.mp4
  ffmpeg -loglevel error -i walk.mp4 -fps_mode passthrough -start_number 1 f/f.%d.ppm
  ../build/zemb walk.mp4 1 250 -o video </dev/null >video.out
  ../build/zemb f/f 1 250 -o frames </dev/null >frames.out
  n=0; for k in $(seq 201 250); do cmp video/walkMask.$k.pgm frames/fMask.$k.pgm; n=$((n + 1)); done
  echo "$n masks from walk.mp4, each equal to the mask of its exploded frame"' ||
  fail "the video run failed in the fresh root"
grep -q '^50 masks from walk.mp4' "$work/video.log" || fail "the video run did not write 50 masks"

if [ -d "$repo/python" ] || [ -f "$repo/pyproject.toml" ]; then
  python_command=$("$repo/tests/fresh/readme_command.sh" python) ||
    fail "the tree has a Python module, and the README marks no install line for it (<!-- command: python -->)"
  echo "== The README's Python command: $python_command"
  in_root python.log "$python_command" || fail "the README's Python command failed in a fresh root"
else
  echo "== No Python module in this tree (python/, pyproject.toml): its install line is not checked"
fi
echo "== Fresh root: the README's commands work; $(( $(seconds) - start )) s in all"
