#!/usr/bin/env bash
# The test command, tools/test.sh, on Debian 13 (GCC 14, binutils 2.44,
# Wine 10) in a root made by debootstrap from Debian's archive and kept between
# runs outside the clone, at $TALVOREN_DEBIAN13_ROOT (default below). It tests
# a clone of the committed HEAD, the tree a fresh CI clone sees, whoever owns
# the checkout, and exits with the tests' code. When the root cannot be made
# or given its packages because the archive is out of reach, it says so loudly
# and exits 0.
set -euo pipefail
self="$(realpath "$0")"
cd "$(dirname "$self")/.."

root="${TALVOREN_DEBIAN13_ROOT:-/var/lib/talvoren/debian13}"

if [[ $(id -u) -ne 0 ]]; then
  echo "run it as root (sudo $0): it mounts, chroots and installs packages" >&2
  exit 1
fi

# Every mount below is private to this run: neither the machine nor a run
# beside it sees them, and a killed run leaves none behind.
if [[ ${TALVOREN_DEBIAN13_MOUNTS:-} != private ]]; then
  TALVOREN_DEBIAN13_MOUNTS=private exec unshare --mount --propagation private "$self" "$@"
fi

skipped() {
  local bar='!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!'
  printf '\n%s\n!!! Debian 13 run SKIPPED: %s\n%s\n\n' "$bar" "$1" "$bar" >&2
  exit 0
}

# A command in the root with the environment of a fresh CI run.
in_root=(chroot "$root" /usr/bin/env -i HOME=/root CI=true LANG=C.UTF-8
         PATH=/usr/sbin:/usr/bin:/sbin:/bin)

# The clone, under /tmp, which both sides see at the same path; it goes
# when the run ends.
work="$(mktemp -d /tmp/talvoren-debian13.XXXXXX)"
mounted=0
cleanup() {
  if ((mounted)); then
    umount -R "$root" || true
  fi
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT

# Read by root from a checkout another user owns, the repository is refused
# as of dubious ownership. Only the process that reads it is told to trust
# it: the machine's git configuration stays as it is, and a -c given to
# fetch would not reach that process, whose environment git clears.
clone="$work/clone"
git init -q "$clone"
if ! git -C "$clone" fetch -q --upload-pack="git -c safe.directory='*' upload-pack" \
       "$PWD" HEAD; then
  echo "cannot clone the committed HEAD of $PWD: git's message is above" >&2
  exit 1
fi
git -C "$clone" checkout -q FETCH_HEAD

# Built in a folder of its own and renamed when complete, so a run that
# dies half-way never leaves a root that a later one would take as made.
make_root() {
  [[ -d $root ]] && return 0
  if ! command -v debootstrap >/dev/null; then
    { apt-get update -qq &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        debootstrap >/dev/null; } || skipped "debootstrap cannot be installed"
  fi
  rm -rf --one-file-system "$root".new.*
  local new log
  new="$(mktemp -d "$root.new.XXXXXX")"
  # The root's own mode: apt in it drops to its _apt user to download.
  chmod 755 "$new"
  log="$new.log"
  echo "making the Debian 13 root $root (a few minutes, once)"
  if ! debootstrap --variant=minbase trixie "$new" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    rm -rf --one-file-system "$new" "$log"
    skipped "debootstrap could not make $root from Debian's archive"
  fi
  rm -f "$log"
  mv -T "$new" "$root"
}

mkdir -p "$(dirname "$root")"
exec {lock}>"$root.lock"
# One run at a time makes the root and installs into it.
flock "$lock"
make_root

# unshare --mount inside the root needs the root to be a mount point; the
# binds are recursive because a plain bind hides what is mounted below.
mount --rbind "$root" "$root"
mounted=1
for dir in proc sys dev tmp; do
  mount --rbind "/$dir" "$root/$dir"
done
cp -L --remove-destination /etc/resolv.conf "$root/etc/resolv.conf"
# debootstrap writes no hosts file, and the tests ask for localhost.
printf '127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"

if ! "${in_root[@]}" bash -c "cd '$clone' && tools/install-deps.sh"; then
  "${in_root[@]}" apt-get update -qq --error-on=any ||
    skipped "the packages cannot be installed in $root: Debian's archive is out of reach"
  echo "installing the packages in $root failed" >&2
  exit 1
fi
flock -u "$lock"

# The tests get a network of their own, loopback only: their servers take
# fixed ports that runs elsewhere on the machine use too.
echo "tests on Debian 13 in $root, clone $clone"
unshare --net bash -c 'ip link set lo up && exec "$@"' - \
  "${in_root[@]}" bash -c "cd '$clone' && tools/test.sh"
