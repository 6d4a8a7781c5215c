#!/usr/bin/env bash
# in-debian.sh SUITE [ARCH] -- COMMAND...
#
# Runs COMMAND, from a copy of this project's tree, in a fresh minimal Debian root of SUITE
# (bookworm, trixie, ...) for ARCH (default: this machine's own), the way a new machine would:
# as root, through chroot, with only HOME, PATH and TERM in the environment and no standard
# input. Needs root. Exits with COMMAND's status. With IN_DEBIAN_RESULTS=DIR, what COMMAND left
# in the root's /root/results is copied into DIR at the end, however COMMAND ended. With
# IN_DEBIAN_CCACHE=DIR, the root starts with a copy of the compiler cache in DIR as /root/ccache
# (which COMMAND uses as it chooses).
#
# The first run makes the root with debootstrap and keeps a pristine copy in
# $IN_DEBIAN_CACHE (default /var/cache/support-programs/roots); every run works in a throwaway
# copy of it, with /proc and /dev mounted, which is unmounted and removed however the run ends.
# The package mirror is the one this machine's apt uses. A foreign ARCH runs under
# qemu-user-static through a binfmt_misc of a user namespace of the run's own (below).
# Runs may overlap: one makes a missing root while the others wait for it, and each works in a
# copy of its own.
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

# A foreign processor's programs start through qemu-user-static, registered with a binfmt_misc
# instance of a user namespace of this run's own (Linux 6.7 and later give one), never with the
# machine's: how the machine starts programs is never touched. The foreign root's commands run in
# that namespace, every user and group id mapped to itself, so root is still root over the
# root's files. Where the kernel gives no such instance, this says so and exits with 77.
# The emulator is qemu-user-static unpacked into a folder of the cache, never installed: an
# installed one brings binfmt_misc registrations of the machine's (binfmt-support's, systemd's
# at the next start).
cache=${IN_DEBIAN_CACHE:-/var/cache/support-programs/roots}
if [[ $arch != "$(dpkg --print-architecture)" ]]; then
  qemu_name=$(arch_table "$arch" qemu)
  [[ -n $qemu_name ]] || { echo "No emulator known for $arch." >&2; exit 2; }
  emulator=$cache/qemu-user-static
  mkdir -p "$cache"
  {
    flock 9
    if [[ ! -f $emulator/usr/lib/binfmt.d/$qemu_name.conf ]]; then
      echo "Unpacking qemu-user-static into $emulator"
      fetched=$(mktemp -d)
      if ! (cd "$fetched" && { apt-get download -q qemu-user-static >/dev/null 2>&1 ||
        { apt-get update -q >/dev/null && apt-get download -q qemu-user-static; }; }); then
        rm -rf "$fetched"
        echo "Cannot download qemu-user-static from this machine's apt sources." >&2
        exit 1
      fi
      rm -rf "$emulator" && mkdir -p "$emulator"
      dpkg-deb -x "$fetched"/qemu-user-static_*.deb "$emulator"
      rm -rf "$fetched"
    fi
  } 9>"$cache/.qemu-user-static.lock"
  [[ -f $emulator/usr/lib/binfmt.d/$qemu_name.conf ]] ||
    { echo "qemu-user-static has no binfmt.d/$qemu_name.conf to register." >&2; exit 2; }
  # Its registration, with the emulator's path in the cache and the flags this needs.
  registration=$(sed -e "s|:/usr/libexec/|:$emulator/usr/libexec/|" -e 's/:[A-Z]*$/:OCPF/' \
    "$emulator/usr/lib/binfmt.d/$qemu_name.conf")
fi
# emulated COMMAND...: runs COMMAND in a user and mount namespace of its own whose binfmt_misc
# starts the root's processor's programs through qemu (F: the emulator is opened at
# registration, so that it also starts programs inside the root).
emulated() {
  local go status=0 pid
  go=$(mktemp -u /tmp/in-debian-go.XXXXXX)
  mkfifo -m 600 "$go"
  # shellcheck disable=SC2016
  unshare --user --mount --propagation private -- bash -c '
    read -r _ <"$0" && rm -f "$0" || exit 2
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || {
      echo "This kernel gives a user namespace no binfmt_misc of its own (Linux 6.7 and later do):" \
        "a root for another processor cannot run here without changing how the whole machine" \
        "starts programs, which this script never does." >&2
      exit 77
    }
    printf "%s" "$1" >/proc/sys/fs/binfmt_misc/register
    shift
    exec "$@"' "$go" "$registration" "$@" &
  pid=$!
  # Every id mapped to itself, once the namespace is made; then it may go on.
  local own
  own=$(readlink /proc/self/ns/user)
  while kill -0 "$pid" 2>/dev/null && [[ $(readlink "/proc/$pid/ns/user" 2>/dev/null) == "$own" ]]; do
    sleep 0.01
  done
  if echo "0 0 4294967295" >"/proc/$pid/uid_map" && echo "0 0 4294967295" >"/proc/$pid/gid_map"; then
    echo go >"$go"
  else
    echo "Cannot map the ids of a user namespace: are user namespaces turned off here?" >&2
    kill "$pid" 2>/dev/null || true
  fi
  rm -f "$go"
  wait "$pid" || status=$?
  return "$status"
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
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# One run makes a missing root while any other that needs it waits; they copy it together.
pristine=$cache/$suite-$arch
mkdir -p "$cache"
{
  flock 9
  if [[ ! -x $pristine/bin/sh ]]; then
    echo "Making a minimal $suite root for $arch in $pristine"
    fresh=$(mktemp -d "$cache/.new-$suite-$arch.XXXXXX")
    # Another processor's root: the first stage here, the second in the emulated namespace,
    # with /proc mounted from here; told that it is in a container, where it may make no device
    # (the first stage made them).
    if [[ -n ${qemu_name:-} ]]; then
      made() {
        debootstrap --foreign --variant=minbase --arch="$arch" "$suite" "$fresh" "$mirror" &&
          mount -t proc proc "$fresh/proc" &&
          { emulated env container=lxc chroot "$fresh" /debootstrap/debootstrap --second-stage
            local s=$?
            umount "$fresh/proc"; return $s; }
      }
    else
      made() { debootstrap --variant=minbase --arch="$arch" "$suite" "$fresh" "$mirror"; }
    fi
    if ! made >"$fresh.log" 2>&1; then
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
if [[ -n ${IN_DEBIAN_CCACHE:-} ]]; then
  [[ -d $IN_DEBIAN_CCACHE ]] ||
    { echo "IN_DEBIAN_CCACHE=$IN_DEBIAN_CCACHE: no such folder (give a compiler cache's)" >&2; exit 2; }
  mkdir -p "$copy/root/ccache"
  # A cache in use may change as it is copied: what is missed is compiled again.
  cp -a "$IN_DEBIAN_CCACHE/." "$copy/root/ccache/" 2>/dev/null ||
    echo "IN_DEBIAN_CCACHE: the cache changed as it was copied; what was missed is compiled again" >&2
fi

echo "In a fresh $suite root for $arch: $*"
# shellcheck disable=SC2016
status=0
run=()
[[ -z ${qemu_name:-} ]] || run=(emulated)
"${run[@]}" env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  TERM="${TERM:-dumb}" chroot "$copy" /bin/sh -c 'cd /root/project && exec "$@"' sh "$@" \
  </dev/null || status=$?
if [[ -n ${IN_DEBIAN_RESULTS:-} && -d $copy/root/results ]]; then
  mkdir -p "$IN_DEBIAN_RESULTS"
  cp -a "$copy/root/results/." "$IN_DEBIAN_RESULTS/"
fi
exit "$status"
