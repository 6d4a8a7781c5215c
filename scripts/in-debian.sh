#!/usr/bin/env bash
# in-debian.sh SUITE [ARCH] -- COMMAND...
#
# Runs COMMAND, from a copy of this project's tree, in a fresh minimal Debian root of SUITE
# (bookworm, trixie, ...) for ARCH (default: this machine's own), the way a new machine would:
# as root, through chroot, with only HOME, PATH and TERM in the environment and no standard
# input. Needs root. Exits with COMMAND's status. With IN_DEBIAN_RESULTS=DIR, what COMMAND left
# in the root's /root/results is copied into DIR at the end, however COMMAND ended.
#
# The first run makes the root with debootstrap and keeps a pristine copy in
# $IN_DEBIAN_CACHE (default /var/cache/support-programs/roots); every run works in a throwaway
# copy of it, with /proc and /dev mounted, which is unmounted and removed however the run ends.
# The package mirror is the one this machine's apt uses. A foreign ARCH runs under
# qemu-user-static through binfmt_misc, registered for the run unless it already was.
# Runs may overlap: one makes a missing root while the others wait for it, each works in a
# copy of its own, and the emulator stays registered while any run needs it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

usage() {
  echo "usage: $0 SUITE [ARCH] -- COMMAND..." >&2
  exit 2
}
(($# >= 3)) || usage
suite=$1
arch=$(dpkg --print-architecture)
if [[ $2 != -- ]]; then
  arch=$2
  shift
fi
[[ $2 == -- ]] || usage
shift 2
((EUID == 0)) || { echo "$0 makes and enters a root with chroot: run it as root." >&2; exit 2; }
[[ $suite =~ ^[a-z]+$ && $arch =~ ^[a-z0-9]+$ ]] || usage
ensure_packages debootstrap

# The first URI of the apt source that serves this machine's own release.
host_mirror() {
  local codename
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  local file
  for file in /etc/apt/sources.list.d/*.sources; do
    [[ -f $file ]] || continue
    awk -v want="$codename" '
      /^$/ { if (ok && uri) { print uri; exit } ok = 0; uri = "" }
      /^URIs:/ { uri = $2 }
      /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == want) ok = 1 }
      END { if (ok && uri) print uri }' "$file"
  done
  { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } |
    awk -v want="$codename" '$1 == "deb" && $0 !~ /\[/ && $3 == want { print $2 }
                             $1 == "deb" && $0 ~ /\[/ { sub(/\[[^]]*\] */, ""); if ($3 == want) print $2 }'
}
mirror=$(host_mirror | head -n 1)
[[ -n $mirror ]] || {
  echo "No apt source for this machine's release in /etc/apt: cannot tell which mirror to use." >&2
  exit 1
}

# A foreign processor's programs start through qemu-user-static, registered with binfmt_misc.
# What runs of this script mount or register, the last one that needs it undoes: each run
# that needs an emulator names itself in $state/users (by process id, with its start time and
# this boot's id, so that one killed before it could leave is known as gone), and they take
# turns through $state/lock.
binfmt=/proc/sys/fs/binfmt_misc
state=/run/support-programs-in-debian
boot=$(cat /proc/sys/kernel/random/boot_id)
using_binfmt=0
if [[ $arch != "$(dpkg --print-architecture)" ]]; then
  ensure_packages qemu-user-static
  qemu_name=$(arch_table "$arch" qemu)
  [[ -n $qemu_name ]] || { echo "No emulator known for $arch." >&2; exit 2; }
fi

# started PID prints when process PID started, in clock ticks since boot; nothing if it ended.
started() {
  sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f20
}
# ours FILE: whether FILE, a mark this script left, is of this boot.
ours() {
  [[ -f $1 && $(head -c 36 "$1") == "$boot" ]]
}
take_binfmt() {
  mkdir -p "$state/users"
  using_binfmt=1 # from here on, however this goes, leave_binfmt undoes what is not needed
  (
    flock 9
    if [[ ! -f $binfmt/register ]]; then
      mount -t binfmt_misc binfmt_misc "$binfmt"
      echo "$boot" >"$state/mounted"
    fi
    if [[ ! -e $binfmt/$qemu_name ]]; then
      # F: the emulator is opened now, so it also starts programs inside the root.
      echo "$boot" >"$state/registered-$qemu_name"
      sed 's/:[A-Z]*$/:OCPF/' "/usr/lib/binfmt.d/$qemu_name.conf" >"$binfmt/register"
    fi
    echo "$boot $(started $$) $qemu_name" >"$state/users/$$"
  ) 9>"$state/lock"
}
leave_binfmt() {
  {
    flock 9
    rm -f "$state/users/$$"
    local user boot_id start name needed="" mark
    for user in "$state"/users/*; do
      [[ -f $user ]] || continue
      read -r boot_id start name <"$user" || true
      if [[ $boot_id == "$boot" && $(started "${user##*/}") == "$start" ]]; then
        needed+=" $name "
      else
        rm -f "$user"
      fi
    done
    for mark in "$state"/registered-*; do
      [[ -f $mark ]] || continue
      name=${mark##*/registered-}
      [[ $needed != *" $name "* ]] || continue
      if ours "$mark" && [[ -e $binfmt/$name ]]; then echo -1 >"$binfmt/$name" || true; fi
      rm -f "$mark"
    done
    if [[ -z $needed && -f $state/mounted ]]; then
      if ours "$state/mounted"; then umount "$binfmt" || true; fi
      rm -f "$state/mounted"
    fi
  } 9>"$state/lock"
}

copy=""
cleanup() {
  local status=$?
  if [[ -n $copy && -d $copy ]]; then
    # Anything still running inside keeps its mounts busy.
    local pid
    for pid in /proc/[0-9]*; do
      case $(readlink "$pid/root" 2>/dev/null) in "$copy" | "$copy"/*) kill -9 "${pid#/proc/}" 2>/dev/null ;; esac
    done
    umount -R "$copy/dev" 2>/dev/null || umount -lR "$copy/dev" 2>/dev/null || true
    umount "$copy/proc" 2>/dev/null || umount -l "$copy/proc" 2>/dev/null || true
    if findmnt -rn -o TARGET | grep -q "^$copy/"; then
      echo "$copy: still mounted, left in place" >&2
    else
      rm -rf --one-file-system "$copy"
    fi
  fi
  ((using_binfmt == 0)) || leave_binfmt
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

[[ -z ${qemu_name:-} ]] || take_binfmt

# One run makes a missing root while any other that needs it waits; they copy it together.
cache=${IN_DEBIAN_CACHE:-/var/cache/support-programs/roots}
pristine=$cache/$suite-$arch
mkdir -p "$cache"
{
  flock 9
  if [[ ! -x $pristine/bin/sh ]]; then
    echo "Making a minimal $suite root for $arch in $pristine"
    fresh=$(mktemp -d "$cache/.new-$suite-$arch.XXXXXX")
    if ! debootstrap --variant=minbase --arch="$arch" "$suite" "$fresh" "$mirror" \
      >"$fresh.log" 2>&1; then
      tail -n 20 "$fresh.log" >&2
      [[ -f $fresh/debootstrap/debootstrap.log ]] && tail -n 20 "$fresh/debootstrap/debootstrap.log" >&2
      rm -rf --one-file-system "$fresh" "$fresh.log"
      echo "debootstrap of $suite for $arch failed." >&2
      exit 1
    fi
    rm -f "$fresh.log"
    echo "deb $mirror $suite main" >"$fresh/etc/apt/sources.list"
    rm -rf "$pristine"
    mv "$fresh" "$pristine"
  fi
} 9>"$cache/.$suite-$arch.lock"

copy=$(mktemp -d "/var/tmp/in-debian-$suite-$arch.XXXXXX")
chmod 755 "$copy" # a root's / is open to the system users that package scripts run as
{
  flock -s 9
  cp -a "$pristine/." "$copy/"
} 9>"$cache/.$suite-$arch.lock"
cp /etc/resolv.conf "$copy/etc/resolv.conf" 2>/dev/null || true
# A throwaway root: dpkg need not wait for each file it installs to reach the disk (a third of
# the time of an apt-get install of the build's packages here).
mkdir -p "$copy/etc/dpkg/dpkg.cfg.d"
echo force-unsafe-io >"$copy/etc/dpkg/dpkg.cfg.d/throwaway-root"
mount -t proc proc "$copy/proc"
mount --rbind /dev "$copy/dev"
mount --make-rslave "$copy/dev"
# The project's tracked files as they are now, and its history (the packages take their times
# from the last commit).
mkdir -p "$copy/root/project"
git ls-files -z | xargs -0 cp --parents -t "$copy/root/project"
cp -a .git "$copy/root/project/"

echo "In a fresh $suite root for $arch: $*"
# shellcheck disable=SC2016
status=0
env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  TERM="${TERM:-dumb}" chroot "$copy" /bin/sh -c 'cd /root/project && exec "$@"' sh "$@" \
  </dev/null || status=$?
if [[ -n ${IN_DEBIAN_RESULTS:-} && -d $copy/root/results ]]; then
  mkdir -p "$IN_DEBIAN_RESULTS"
  cp -a "$copy/root/results/." "$IN_DEBIAN_RESULTS/"
fi
exit "$status"
