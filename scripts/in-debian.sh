#!/usr/bin/env bash
# in-debian.sh SUITE [ARCH] -- COMMAND...
#
# Runs COMMAND, from a copy of this project's tree, in a fresh minimal Debian root of SUITE
# (bookworm, trixie, ...) for ARCH (default: this machine's own), the way a new machine would:
# as root, through chroot, with only HOME, PATH and TERM in the environment and no standard
# input. Needs root. Exits with COMMAND's status.
#
# The first run makes the root with debootstrap and keeps a pristine copy in
# $IN_DEBIAN_CACHE (default /var/cache/support-programs/roots); every run works in a throwaway
# copy of it, with /proc and /dev mounted, which is unmounted and removed however the run ends.
# The package mirror is the one this machine's apt uses. A foreign ARCH runs under
# qemu-user-static through binfmt_misc, registered for the run unless it already was.
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
# What this run mounts or registers, it undoes at the end.
binfmt=/proc/sys/fs/binfmt_misc
mounted_binfmt=0
registered=""
if [[ $arch != "$(dpkg --print-architecture)" ]]; then
  ensure_packages qemu-user-static
  qemu_name=$(arch_table "$arch" qemu)
  [[ -n $qemu_name ]] || { echo "No emulator known for $arch." >&2; exit 2; }
fi

copy=""
cleanup() {
  local status=$?
  if [[ -n $copy && -d $copy ]]; then
    # Anything still running inside keeps its mounts busy.
    local pid
    for pid in /proc/[0-9]*; do
      [[ $(readlink "$pid/root" 2>/dev/null) == "$copy"* ]] && kill -9 "${pid#/proc/}" 2>/dev/null
    done
    umount -R "$copy/dev" 2>/dev/null || umount -lR "$copy/dev" 2>/dev/null || true
    umount "$copy/proc" 2>/dev/null || umount -l "$copy/proc" 2>/dev/null || true
    if findmnt -rn -o TARGET | grep -q "^$copy/"; then
      echo "$copy: still mounted, left in place" >&2
    else
      rm -rf --one-file-system "$copy"
    fi
  fi
  [[ -z $registered ]] || echo -1 >"$binfmt/$registered"
  ((mounted_binfmt == 0)) || umount "$binfmt"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [[ -n ${qemu_name:-} ]]; then
  if [[ ! -f $binfmt/register ]]; then
    mount -t binfmt_misc binfmt_misc "$binfmt"
    mounted_binfmt=1
  fi
  if [[ ! -e $binfmt/$qemu_name ]]; then
    # F: the emulator is opened now, so it also starts programs inside the root.
    sed 's/:[A-Z]*$/:OCPF/' "/usr/lib/binfmt.d/$qemu_name.conf" >"$binfmt/register"
    registered=$qemu_name
  fi
fi

cache=${IN_DEBIAN_CACHE:-/var/cache/support-programs/roots}
pristine=$cache/$suite-$arch
if [[ ! -x $pristine/bin/sh ]]; then
  echo "Making a minimal $suite root for $arch in $pristine"
  mkdir -p "$cache"
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

copy=$(mktemp -d "/var/tmp/in-debian-$suite-$arch.XXXXXX")
chmod 755 "$copy" # a root's / is open to the system users that package scripts run as
cp -a "$pristine/." "$copy/"
cp /etc/resolv.conf "$copy/etc/resolv.conf" 2>/dev/null || true
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
env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  TERM="${TERM:-dumb}" chroot "$copy" /bin/sh -c 'cd /root/project && exec "$@"' sh "$@" \
  </dev/null
