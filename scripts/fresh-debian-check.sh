#!/usr/bin/env bash
# Runs the README's test command the way a newcomer meets it: in a minimal Debian 12 root made with
# debootstrap (plus sudo, ca-certificates and git), on a fresh clone of this checkout's HEAD. Needs
# root and Debian's archive; not run by CI (it takes as long as the whole suite, plus the install).
#   scripts/fresh-debian-check.sh [--keep] [--root DIR] [--mirror URL] [VAR=VALUE ...]
# VAR=VALUE pairs go into the test command's environment (QUILLNEST_SKIP_FUZZ=1, FUZZ_SECONDS=5, ...).
# --root reuses a root made earlier (debootstrap is skipped when DIR/etc/debian_version exists);
# --keep leaves the root in place afterwards. Exit status: the test command's.
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$(pwd)

keep=""
root=""
mirror=http://deb.debian.org/debian
envs=()
while (($#)); do
  case $1 in
    --keep) keep=1 ;;
    --root) root=$2; shift ;;
    --mirror) mirror=$2; shift ;;
    *=*) envs+=("$1") ;;
    -h | --help) sed -n '2,8p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done
[[ $(id -u) -eq 0 ]] || { echo "needs root (debootstrap, chroot, mounts)" >&2; exit 2; }
command -v debootstrap >/dev/null || { echo "needs debootstrap: apt-get install debootstrap" >&2; exit 2; }
# mktemp makes its directory 0700; as the root's "/" that would shut every user but root out of
# the whole system (the e2e tests run clients as nobody).
[[ -n $root ]] || { root=$(mktemp -d /var/tmp/quillnest-fresh.XXXXXX) && chmod 755 "$root"; }
root=$(realpath "$root")

mounted=()
cleanup() {
  # Processes the suite left behind would keep the mounts busy.
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [[ $(readlink "/proc/$pid/root" 2>/dev/null) == "$root"* ]] && kill -KILL "$pid" 2>/dev/null
  done
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
  if [[ -z $keep ]]; then rm -rf --one-file-system "$root"; else echo "root kept at $root"; fi
}
trap cleanup EXIT

if [[ ! -f $root/etc/debian_version ]]; then
  echo "=== debootstrap bookworm (minbase) into $root"
  debootstrap --variant=minbase --include=sudo,ca-certificates,git bookworm "$root" "$mirror" \
    >"$root.debootstrap.log" 2>&1 || { tail -20 "$root.debootstrap.log"; exit 1; }
  rm -f "$root.debootstrap.log"
fi

# The root as a mount point of its own: `ip netns exec` remounts / inside the chroot.
mount --bind "$root" "$root"; mounted+=("$root")
mount -t proc proc "$root/proc"; mounted+=("$root/proc")
mount -t sysfs sys "$root/sys"; mounted+=("$root/sys")
mount --rbind /dev "$root/dev"; mount --make-rslave "$root/dev"; mounted+=("$root/dev")
mount -t tmpfs tmpfs "$root/run"; mounted+=("$root/run")
mount -t tmpfs tmpfs "$root/tmp"; mounted+=("$root/tmp")
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true

src=/src/quillnest-filter
rm -rf "$root$src"
git clone -q "$checkout" "$root$src"

echo "=== scripts/test.sh in the fresh root (${envs[*]:-no extra environment})"
set +e
chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "${envs[@]}" \
  /bin/bash -c "cd $src && scripts/test.sh"
rc=$?
set -e
echo "=== the README's test command exited $rc in a fresh Debian 12 root"
exit "$rc"
