#!/usr/bin/env bash
# The test command, tools/test.sh, on Debian 13 (GCC 14, binutils 2.44,
# Wine 10) in a root made by debootstrap from Debian's archive and kept between
# runs outside the clone, at $TALVOREN_DEBIAN13_ROOT (default below), brought
# up to date with Debian 13's updates and security fixes once a day. It tests
# a clone of the committed HEAD, the tree a fresh CI clone sees, whoever owns
# the checkout, passes its arguments on to tools/test.sh, and exits with the
# tests' code. When Debian's archive is out of reach (its name does not
# resolve, or a connection to it is refused, times out or has no route) it
# says so loudly and exits 0; any other failure fails it.
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

# The run proper goes on in namespaces of its own: its mounts are private to
# it, and when the first process of its PID namespace, a shell, ends, the
# kernel ends every other one (tests, servers, Xvfb, wineserver), and with
# them the lock's descriptor they inherit. This process stays outside: on
# SIGTERM, SIGINT or SIGHUP it ends that shell and waits until the namespace
# is empty; only then, and after a run that ended by itself, does it remove
# the run's folder and any root the run left half-made. The shell ends on
# SIGTERM once it has set its trap, which it does before it starts the run;
# before that, only SIGKILL reaches it (and unshare reports that kill as its
# own failure). stop ends the run, started last in the background, and exits
# with $1.
stop() {
  trap '' INT TERM HUP
  local run=$! first="" second=""
  [[ -n $run ]] || exit "$1"
  read -r first _ <"/proc/$run/task/$run/children" || true
  if [[ -n $first ]]; then
    read -r second _ <"/proc/$first/task/$first/children" || true
  fi
  if [[ -n $second ]]; then
    kill -TERM "$first"
  else
    kill -KILL "${first:-$run}" 2>/dev/null || true
  fi
  wait "$run" 2>/dev/null || true
  exit "$1"
}
if [[ -z ${TALVOREN_DEBIAN13_WORK:-} ]]; then
  work="$(mktemp -d /tmp/talvoren-debian13.XXXXXX)"
  trap 'rm -rf --one-file-system "$work" "$root.new.${work##*.}"' EXIT
  trap 'stop 129' HUP
  trap 'stop 130' INT
  trap 'stop 143' TERM
  TALVOREN_DEBIAN13_WORK="$work" \
    unshare --pid --fork --kill-child --mount-proc --propagation private \
    sh -c 'trap "exit 143" TERM; "$@" & wait "$!"' - "$self" "$@" &
  status=0
  wait "$!" || status=$?
  exit "$status"
fi
work="$TALVOREN_DEBIAN13_WORK"

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

# The run's own /tmp with the clone in it, mounted as the root's /tmp: the
# clone is at $work$clone here and at $clone in the root.
mkdir -m 1777 "$work/tmp"
: >"$work/tmp/machine-certificates.pem"
for certificates in /etc/ssl/certs/ca-certificates.crt ${NODE_EXTRA_CA_CERTS:+"$NODE_EXTRA_CA_CERTS"}; do
  if [[ -f $certificates ]]; then
    cat "$certificates" >>"$work/tmp/machine-certificates.pem"
  fi
done
clone=/tmp/clone
# Built under this name and renamed when complete, so a run that dies
# half-way never leaves a root that a later one would take as made; the
# process outside removes it.
new="$root.new.${work##*.}"
mounted=0

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

# Asks both archives the root comes from for their release file's headers,
# writing nothing. Exits 1 on a network error only, any answer is an answer,
# and 2 on anything else.
probe='
import errno, socket, sys, urllib.error, urllib.request
for url in sys.argv[1:]:
    try:
        urllib.request.urlopen(urllib.request.Request(url, method="HEAD"), timeout=30).close()
    except urllib.error.HTTPError:
        pass
    except Exception as error:
        cause = getattr(error, "reason", error)
        unresolved = isinstance(cause, socket.gaierror) and cause.errno in (
            socket.EAI_AGAIN, socket.EAI_NONAME, socket.EAI_FAIL, socket.EAI_NODATA)
        unreached = isinstance(cause, (ConnectionRefusedError, TimeoutError)) or getattr(
            cause, "errno", None) in (errno.ENETUNREACH, errno.EHOSTUNREACH)
        print(f"{url}: {cause}", file=sys.stderr)
        sys.exit(1 if unresolved or unreached else 2)
'
# True only when the archive is out of reach; a probe that fails otherwise
# says why and counts as reaching it, so the run fails rather than skips.
out_of_reach() {
  local status=0
  python3 -B -c "$probe" "$mirror/dists/trixie/InRelease" \
    "$security/dists/trixie-security/InRelease" || status=$?
  ((status == 1))
}

# A step that needs the archive, the end of its output kept in memory (a
# full disk must not swallow the message): when it fails, the run is skipped
# if the archive is out of reach and fails otherwise, so a full disk or a
# held lock never passes for a network outage.
step() {
  local what=$1 output
  shift
  echo "$what"
  output="$("$@" </dev/null 2>&1 | tail -n 25; exit "${PIPESTATUS[0]}")" && return 0
  out_of_reach && skipped "$what failed: Debian's archive is out of reach"
  printf '%s\n' "$output" >&2
  echo "$what failed; the end of its output is above" >&2
  exit 1
}

# A run that cannot ask the archive can neither make nor update the root,
# nor tell whether it holds today's Debian 13.
if out_of_reach; then
  skipped "Debian's archive ($mirror, $security) is out of reach"
fi

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

make_root() {
  [[ -d $root ]] && return 0
  if ! command -v debootstrap >/dev/null; then
    step "installing debootstrap" install_debootstrap
  fi
  rm -rf --one-file-system "$root".new.*
  mkdir "$new"
  # The root's own mode: apt in it drops to its _apt user to download.
  chmod 755 "$new"
  step "making the Debian 13 root $root (a few minutes, once)" bootstrap
  # A plain file for each run to mount the machine's own over.
  rm -f "$new/etc/resolv.conf"
  : >"$new/etc/resolv.conf"
  mv -T "$new" "$root"
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
  # Name resolution as the machine has it now, for this run only: npm needs
  # it on every run, not just on the days the root is updated.
  mount --bind /etc/resolv.conf "$root/etc/resolv.conf"
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
  # debootstrap writes no hosts file, and the tests ask for localhost.
  printf '127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
  printf '%s' "$sources" >"$root/etc/apt/sources.list.d/debian.sources"
  rm -f "$root/etc/apt/sources.list"
  # A run killed while dpkg worked leaves it interrupted, and apt refuses to
  # install until it has finished; the stamp is then not yet written. A
  # package it was unpacking is left half-installed: the upgrade, told to fix
  # what is broken, installs it again.
  if ! "${in_root[@]}" DEBIAN_FRONTEND=noninteractive dpkg --configure -a; then
    echo "dpkg --configure -a failed in $root: its message is above" >&2
    exit 1
  fi
  step "updating $root from Debian 13, its updates and its security fixes" \
    "${in_root[@]}" apt-get update -qq --error-on=any
  step "upgrading $root" \
    "${in_root[@]}" DEBIAN_FRONTEND=noninteractive apt-get full-upgrade --fix-broken -y -qq
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
  "${in_root[@]}" bash -c "cd '$clone' && exec tools/test.sh \"\$@\"" - "$@"
