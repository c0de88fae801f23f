#!/usr/bin/env bash
# The test command, tools/test.sh, on Debian 13 (GCC 14, binutils 2.44,
# Wine 10) in a root made by debootstrap from Debian's archive and kept between
# runs outside the clone, at $TALVOREN_DEBIAN13_ROOT (default below), brought
# up to date with Debian 13's updates and security fixes once a day. It tests
# a clone of the committed HEAD, the tree a fresh CI clone sees, whoever owns
# the checkout, and exits with the tests' code. When Debian's archive is out
# of reach it says so loudly and exits 0; any other failure fails it.
set -euo pipefail
self="$(realpath "$0")"
cd "$(dirname "$self")/.."

root="${TALVOREN_DEBIAN13_ROOT:-/var/lib/talvoren/debian13}"
mirror=http://deb.debian.org/debian
security=http://security.debian.org/debian-security
sources="Types: deb
URIs: $mirror
Suites: trixie trixie-updates
Components: main

Types: deb
URIs: $security
Suites: trixie-security
Components: main
"

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
# The same, for npm: it trusts the certificates this machine trusts, which
# hold the CA of a TLS-inspecting proxy where the machine has one.
online_in_root=("${in_root[@]}" NODE_EXTRA_CA_CERTS=/tmp/machine-certificates.pem)

# The logs, the run's own /tmp with the clone in it, and a half-made root;
# all go when the run ends. Mounted as the root's /tmp, $work/tmp is /tmp
# there, so the clone is at $work$clone here and at $clone in the root.
work="$(mktemp -d /tmp/talvoren-debian13.XXXXXX)"
mkdir -m 1777 "$work/tmp"
cat /etc/ssl/certs/ca-certificates.crt ${NODE_EXTRA_CA_CERTS:+"$NODE_EXTRA_CA_CERTS"} \
  >"$work/tmp/machine-certificates.pem" 2>/dev/null || true
clone=/tmp/clone
new=""
mounted=0
cleanup() {
  # Processes the tests left may keep it busy; the mounts end with this
  # run's namespace all the same.
  if ((mounted)); then
    umount -R "$root" 2>/dev/null || true
  fi
  if [[ -n $new ]]; then
    rm -rf --one-file-system "$new"
  fi
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT

# Read by root from a checkout another user owns, the repository is refused
# as of dubious ownership. Only the process that reads it is told to trust
# it: the machine's git configuration stays as it is, and a -c given to
# fetch would not reach that process, whose environment git clears.
git init -q "$work$clone"
if ! git -C "$work$clone" fetch -q --upload-pack="git -c safe.directory='*' upload-pack" \
       "$PWD" HEAD; then
  echo "cannot clone the committed HEAD of $PWD: git's message is above" >&2
  exit 1
fi
git -C "$work$clone" checkout -q FETCH_HEAD

# Out of reach: either archive the root comes from cannot give its release
# file.
archive_reachable() {
  local url
  for url in "$mirror/dists/trixie/InRelease" "$security/dists/trixie-security/InRelease"; do
    /usr/lib/apt/apt-helper download-file "$url" "$work/InRelease" >/dev/null 2>&1 ||
      return 1
  done
}

# A step that needs the archive, its output kept aside: when it fails, the
# run is skipped if the archive is out of reach and fails otherwise, so a
# full disk or a held lock never passes for a network outage.
step() {
  local what=$1
  shift
  echo "$what"
  "$@" </dev/null >"$work/step.log" 2>&1 && return 0
  archive_reachable || skipped "$what failed: Debian's archive is out of reach"
  tail -n 25 "$work/step.log" >&2
  echo "$what failed; the end of its output is above" >&2
  exit 1
}

# A run that cannot ask the archive can neither make nor update the root,
# nor tell whether it holds today's Debian 13.
archive_reachable || skipped "Debian's archive ($mirror, $security) is out of reach"

install_debootstrap() {
  apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap
}

# debootstrap's output says what failed; its log in the root says why.
bootstrap() {
  debootstrap --variant=minbase trixie "$new" "$mirror" && return 0
  tail -n 5 "$new/debootstrap/debootstrap.log"
  return 1
}

# Built in a folder of its own and renamed when complete, so a run that
# dies half-way never leaves a root that a later one would take as made.
make_root() {
  [[ -d $root ]] && return 0
  if ! command -v debootstrap >/dev/null; then
    step "installing debootstrap" install_debootstrap
  fi
  rm -rf --one-file-system "$root".new.*
  new="$(mktemp -d "$root.new.XXXXXX")"
  # The root's own mode: apt in it drops to its _apt user to download.
  chmod 755 "$new"
  step "making the Debian 13 root $root (a few minutes, once)" bootstrap
  mv -T "$new" "$root"
  new=""
}

# unshare --mount inside the root needs the root to be a mount point; the
# binds are recursive because a plain bind hides what is mounted below.
mount_root() {
  ((mounted)) && return 0
  mount --rbind "$root" "$root"
  mounted=1
  local dir
  for dir in proc sys dev; do
    mount --rbind "/$dir" "$root/$dir"
  done
  # Not the machine's /tmp: an Xvfb in another network namespace takes the
  # same display number and replaces the socket file of the same name.
  mount --bind "$work/tmp" "$root/tmp"
}

# What the root was last brought up to date with; a new package list or new
# sources make it due again, as does a day gone by.
stamp="$root/var/lib/talvoren-current"
current="$(printf '%s' "$sources" | cat - "$work$clone/tools/install-deps.sh" | sha256sum)"
up_to_date() {
  [[ -f $stamp && $(<"$stamp") == "$current" && -n $(find "$stamp" -mmin -1440) ]]
}

update_root() {
  make_root
  mount_root
  cp -L --remove-destination /etc/resolv.conf "$root/etc/resolv.conf"
  # debootstrap writes no hosts file, and the tests ask for localhost.
  printf '127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
  printf '%s' "$sources" >"$root/etc/apt/sources.list.d/debian.sources"
  rm -f "$root/etc/apt/sources.list"
  step "updating $root from Debian 13, its updates and its security fixes" \
    "${in_root[@]}" apt-get update -qq --error-on=any
  step "upgrading $root" \
    "${in_root[@]}" DEBIAN_FRONTEND=noninteractive apt-get full-upgrade -y -qq
  step "installing the packages in $root" \
    "${online_in_root[@]}" bash -c "cd '$clone' && tools/install-deps.sh"
  printf '%s' "$current" >"$stamp"
}

# Tests hold the lock shared, so runs test side by side; making, updating
# and installing hold it alone, so nothing changes under running tests. The
# shared lock is dropped before waiting for the exclusive one: two runs each
# holding it shared while waiting would wait for each other for ever. Having
# waited, a run looks again, since another may have done the work meanwhile.
mkdir -p "$(dirname "$root")"
exec {lock}>"$root.lock"
# Takes the lock shared (-s) or alone (-x), saying why when it must wait.
take_lock() {
  flock -n "$1" "$lock" && return 0
  echo "waiting: $2"
  flock "$1" "$lock"
}
take_lock -s "another run is making or updating $root"
while ! up_to_date; do
  flock -u "$lock"
  take_lock -x "other runs are using $root, which this one has to update"
  up_to_date || update_root
  flock -u "$lock"
  take_lock -s "another run is making or updating $root"
done
mount_root
# Into this run's clone, so under the shared lock; the tests have no network
# to fetch it with.
step "installing the SBOM validator in the clone" \
  "${online_in_root[@]}" bash -c "cd '$clone' && tools/install-sbom-validator.sh"

versions="Debian $(<"$root/etc/debian_version")"
for tool in GCC:g++-mingw-w64-x86-64-posix binutils:binutils-mingw-w64-x86-64 \
            mingw-w64:mingw-w64-x86-64-dev Wine:wine64 CMake:cmake; do
  versions+=", ${tool%%:*} $("${in_root[@]}" dpkg-query -W -f="\${Version}" "${tool#*:}")"
done
echo "tests on Debian 13 in $root, clone $work$clone"
echo "Debian 13 run versions: $versions"

# The tests get a network of their own, loopback only: their servers take
# fixed ports that runs elsewhere on the machine use too.
unshare --net bash -c 'ip link set lo up && exec "$@"' - \
  "${in_root[@]}" bash -c "cd '$clone' && tools/test.sh"
