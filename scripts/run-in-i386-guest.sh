#!/usr/bin/env bash
# Runs a command where 32-bit x86 programs execute, for kernels that refuse
# them: in a throwaway QEMU guest that boots Debian's own amd64 kernel (it
# has IA32 emulation) over this machine's root filesystem.
#
#   scripts/run-in-i386-guest.sh [--wine-prefix DIR] [--] COMMAND [ARG...]
#   scripts/run-in-i386-guest.sh --setup
#
# Inside the guest the command runs as root, in the current directory, with
# this environment (less HOME, TMPDIR and the session's variables) and stdin
# from /dev/null. What it sees:
#   /            this machine's /, read-only, under an overlay that keeps
#                writes in guest memory (they are lost at power-off)
#   the repository, the current directory and each directory named in
#                $I386_GUEST_RW (colon-separated): read-write, at the same
#                paths as here, so build trees keep their absolute paths
#   /tmp /run /dev/shm   empty tmpfs
# Its stdout and stderr come back as ours, its exit status is ours; 124: the
# guest ran past $I386_GUEST_TIMEOUT, 125: the guest failed before the
# command ended (its console log is printed).
#
# --wine-prefix DIR: before the command a persistent wineserver and Wine's
# session start for DIR (created as a 32-bit prefix when missing: a minute and
# a half under emulation), so that each Wine program afterwards starts in a
# second or two instead of paying the session start again; the server is
# stopped, its registry saved, after the command. WINEPREFIX is exported.
#
# The guest is emulated (QEMU's TCG): where tried, a nested KVM guest hung
# before its kernel printed a line, and TCG is what CI machines have.
#
# Setup, on first use (root and apt-get): qemu-system-x86, busybox-static,
# wine32:i386 (after adding the i386 architecture); the kernel package that
# linux-image-amd64 depends on is downloaded and unpacked into the cache,
# never installed. The kernel and the initramfs are kept there between runs.
#
# Settings (environment):
#   I386_GUEST_CACHE    kernel and initramfs (default build-i386-guest/ in
#                       the repository, ignored by git)
#   I386_GUEST_TIMEOUT  seconds for the whole guest run (default 2400)
#   I386_GUEST_MEM      MiB (default 3072)
#   I386_GUEST_SMP      virtual CPUs (default 1: on a busy 2-core machine a
#                       second one made every Wine start several times slower)
#   I386_GUEST_RW       more read-write directories
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
cache=${I386_GUEST_CACHE:-$repo/build-i386-guest}
timeout_s=${I386_GUEST_TIMEOUT:-2400}
mem=${I386_GUEST_MEM:-3072}
smp=${I386_GUEST_SMP:-1}
# The modules the guest needs to reach its root; their dependencies are
# found in the modules themselves.
wanted_modules="virtio_pci 9pnet_virtio 9p overlay"

say() { echo "run-in-i386-guest: $*" >&2; }
die() { say "$*"; exit 125; }

usage() { sed -n '2,/^set -euo/{/^#/s/^# \{0,1\}//p}' "$0"; exit 2; }

setup_only=0
wine_prefix=""
while [ $# -gt 0 ]; do
  case $1 in
    --setup) setup_only=1; shift ;;
    --wine-prefix) [ $# -ge 2 ] || usage; wine_prefix=$(realpath -m -- "$2"); shift 2 ;;
    --) shift; break ;;
    -h|--help) usage ;;
    -*) usage ;;
    *) break ;;
  esac
done
[ $setup_only -eq 1 ] || [ $# -gt 0 ] || usage

install_packages() {
  local need=()
  command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
  [ -x /bin/busybox ] && dpkg -s busybox-static >/dev/null 2>&1 || need+=(busybox-static)
  [ -x /usr/lib/wine/wine ] || need+=(wine32:i386)
  [ ${#need[@]} -gt 0 ] || return 0
  [ "$(id -u)" -eq 0 ] || die "root is needed to install ${need[*]}"
  say "installing ${need[*]}"
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update >&2 || say "apt-get update failed; trying the install anyway"
  # wine32's dependencies run a 32-bit helper in a maintainer script; where
  # this kernel refuses it, it says "Exec format error" and goes on.
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}" >&2
}

# The guest's first process (busybox sh): mounts the shares, runs the
# command chrooted into this machine's root, records its status, powers off.
init_script() {
  cat <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
exec </dev/console >/dev/console 2>&1
stop() { echo "guest: $*"; sync; poweroff -f; }
for m in $(cat /modules/order); do insmod /modules/$m.ko || stop "cannot load $m"; done
p9=trans=virtio,version=9p2000.L,msize=262144
mount -t 9p -o $p9,cache=none ctl /ctl || stop "no control share"
. /ctl/config
R=/newroot
mount -t 9p -o $p9,ro,cache=loose root /lower || stop "no root share"
mount -t tmpfs -o mode=755 upper /upper
mkdir /upper/data /upper/work
mount -t overlay -o lowerdir=/lower,upperdir=/upper/data,workdir=/upper/work root $R ||
  stop "no overlay"
mount -t proc proc $R/proc
mount -t sysfs sys $R/sys
mount -t devtmpfs dev $R/dev
mkdir -p $R/dev/pts $R/dev/shm
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts $R/dev/pts
mount -t tmpfs -o mode=1777 shm $R/dev/shm
for d in /tmp /var/tmp; do mount -t tmpfs -o mode=1777 tmp $R$d; done
mount -t tmpfs -o mode=755 run $R/run
mkdir $R/run/guest
mount --move /ctl $R/run/guest
# Read-write shares: cache=loose, so that programs started from them are
# mapped from the page cache (with cache=none a 32-bit program was seen
# started with a page of its code zeroed).
i=0
while [ $i -lt $SHARES ]; do
  eval "p=\$SHARE$i"
  mkdir -p "$R$p" && mount -t 9p -o $p9,cache=loose share$i "$R$p" || stop "cannot mount $p"
  i=$((i + 1))
done
ifconfig lo 127.0.0.1 netmask 255.0.0.0 up
hostname i386-guest
# The command writes to pipes, not to the serial ports' ttys: a tty would
# make programs (Wine among them) behave as if interactive.
stty -F /dev/ttyS0 raw -echo
stty -F /dev/ttyS1 raw -echo
mkfifo /out /err
cat /out >/dev/ttyS0 & out=$!
cat /err >/dev/ttyS1 & err=$!
chroot $R /bin/bash /run/guest/command.sh </dev/null >/out 2>/err
rc=$?
# Whatever the command left running (holding the pipes, perhaps) ends now;
# kernel threads have no executable and are left alone.
for sig in TERM KILL; do
  for p in /proc/[0-9]*; do
    p=${p#/proc/}
    case $p in 1|$out|$err) continue ;; esac
    readlink /proc/$p/exe >/dev/null 2>&1 && kill -$sig $p 2>/dev/null
  done
  sleep 1
done
wait $out $err
sync
i=0
while [ $i -lt $SHARES ]; do
  eval "p=\$SHARE$i"
  umount "$R$p" 2>/dev/null
  i=$((i + 1))
done
echo $rc >$R/run/guest/status
sync
poweroff -f
INIT
}

# Prints the module names to load for $wanted_modules, each after the ones it
# depends on, reading "depends=" from the modules of the unpacked kernel $1.
module_order() {
  local dir=$1 seen=" " order=()
  visit() {
    local m=$1 f dep
    case $seen in *" $m "*) return ;; esac
    seen="$seen$m "
    f=$(find "$dir" -name "$m.ko" -o -name "$m.ko.xz" | head -n 1)
    [ -n "$f" ] || die "module $m is not in the kernel package"
    for dep in $(unpacked_module "$f" | tr '\0' '\n' | sed -n 's/^depends=//p' | tr , ' '); do
      visit "$dep"
    done
    order+=("$m")
  }
  local m
  for m in $wanted_modules; do visit "${m//-/_}"; done
  echo "${order[@]}"
}
unpacked_module() { case $1 in *.xz) xz -dc "$1" ;; *) cat "$1" ;; esac; }

build_guest() {  # kernel version, stamp
  local ver=$1 stamp=$2 work m f
  work=$(mktemp -d "$cache/build.XXXXXX")
  say "building the guest from linux-image-$ver"
  (cd "$work" && apt-get download "linux-image-$ver" >&2) || die "cannot download linux-image-$ver"
  dpkg-deb -x "$work"/linux-image-*.deb "$work/pkg"
  grep -qx 'CONFIG_IA32_EMULATION=y' "$work/pkg/boot/config-$ver" ||
    die "linux-image-$ver has no IA32 emulation"
  local ir=$work/initramfs
  mkdir -p "$ir"/{bin,modules,proc,sys,dev,ctl,lower,upper,newroot}
  cp /bin/busybox "$ir/bin/busybox"
  local order
  order=$(module_order "$work/pkg/lib/modules/$ver")
  for m in $order; do
    f=$(find "$work/pkg/lib/modules/$ver" -name "$m.ko" -o -name "$m.ko.xz" | head -n 1)
    unpacked_module "$f" >"$ir/modules/$m.ko"
  done
  echo "$order" >"$ir/modules/order"
  init_script >"$ir/init"
  chmod 755 "$ir/init"
  (cd "$ir" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$work/initrd.gz"
  mv "$work/initrd.gz" "$cache/initrd.gz"
  mv "$work/pkg/boot/vmlinuz-$ver" "$cache/vmlinuz"
  echo "$stamp" >"$cache/stamp"
  rm -rf "$work"
}

setup() {
  mkdir -p "$cache"
  exec 8>"$cache/.lock"
  flock 8
  install_packages
  # The cache holds for one kernel version and one init script.
  local ver stamp
  ver=$(apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: linux-image-\([0-9].*-amd64\)$/\1/p' | head -n 1)
  if [ -z "$ver" ] && [ -s "$cache/stamp" ]; then
    ver=$(cut -d' ' -f1 "$cache/stamp")  # no package lists: keep what we have
  fi
  [ -n "$ver" ] || die "cannot tell which kernel linux-image-amd64 depends on (apt-get update?)"
  stamp="$ver $( (init_script; echo "$wanted_modules") | sha256sum | cut -c1-16)"
  if [ ! -s "$cache/vmlinuz" ] || [ "$(cat "$cache/stamp" 2>/dev/null)" != "$stamp" ]; then
    build_guest "$ver" "$stamp"
  fi
  exec 8>&-
}

setup
[ $setup_only -eq 0 ] || exit 0

ctl=$(mktemp -d "${TMPDIR:-/tmp}/i386-guest.XXXXXX")
qpid=""
cleanup() {
  [ -z "$qpid" ] || kill "$qpid" 2>/dev/null || true
  rm -rf "$ctl"
}
trap cleanup EXIT
mkdir "$ctl/share"

work=$(pwd -P)
shares=("$repo")
case $work/ in "$repo"/*) ;; *) [ "$work" = / ] || shares+=("$work") ;; esac
IFS=: read -r -a extra <<<"${I386_GUEST_RW:-}"
for d in "${extra[@]}"; do
  [ -n "$d" ] || continue
  [ -d "$d" ] || die "I386_GUEST_RW: no directory $d"
  shares+=("$(cd "$d" && pwd -P)")
done
if [ -n "$wine_prefix" ]; then
  case $wine_prefix/ in
    "$repo"/*|"$work"/*) ;;
    *) mkdir -p "$wine_prefix" && shares+=("$wine_prefix") ;;
  esac
fi
{
  echo "SHARES=${#shares[@]}"
  for i in "${!shares[@]}"; do printf 'SHARE%d=%q\n' "$i" "${shares[$i]}"; done
} >"$ctl/share/config"

# The command, run by this machine's bash inside the guest.
{
  for name in $(compgen -e); do
    case $name in
      HOME|PWD|OLDPWD|SHLVL|_|HOSTNAME|TMPDIR|DISPLAY|WAYLAND_DISPLAY|XDG_*|DBUS_*|SSH_*|BASH_FUNC_*)
        continue ;;
    esac
    printf 'export %s=%q\n' "$name" "${!name}"
  done
  echo 'export HOME=/root'
  printf 'cd -- %q || exit 126\n' "$work"
  if [ -n "$wine_prefix" ]; then
    printf 'export WINEPREFIX=%q\n' "$wine_prefix"
    cat <<'WINE'
[ -e "$WINEPREFIX/system.reg" ] || export WINEARCH=win32
started=$(cut -d' ' -f1 /proc/uptime)
# Wine's session processes (services.exe and the rest) keep the descriptors
# they are started with: /dev/null here, not the pipes the command's output
# goes to, which would stay open after it.
mkdir -p "$WINEPREFIX" && /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 &&
  WINEDEBUG=-all /usr/lib/wine/wine cmd /c exit 0 </dev/null >/dev/null 2>&1 ||
  { echo "run-in-i386-guest: Wine's session did not start" >&2; exit 125; }
echo "run-in-i386-guest: Wine session ready after $(cut -d' ' -f1 /proc/uptime) s of guest time" \
     "($(awk -v a="$started" '{ printf "%.0f", $1 - a }' /proc/uptime) s for Wine)" >&2
unset WINEARCH
WINE
  fi
  printf '%q ' "$@"
  echo
  echo 'rc=$?'
  if [ -n "$wine_prefix" ]; then
    echo '/usr/lib/wine/wineserver -k 2>/dev/null; /usr/lib/wine/wineserver -w 2>/dev/null'
  fi
  echo 'exit $rc'
} >"$ctl/share/command.sh"

qv() { printf '%s' "${1//,/,,}"; }  # a QEMU option value: commas doubled
# SMAP off: with it, QEMU 7.2's TCG made the guest kernel oops at the IRET
# back into 32-bit user code.
args=(-machine q35 -accel tcg -cpu max,-smap -smp "$smp" -m "$mem"
      -nodefaults -no-user-config -display none -no-reboot
      -kernel "$(qv "$cache/vmlinuz")" -initrd "$(qv "$cache/initrd.gz")"
      -append "console=ttyS2 loglevel=4 panic=-1 mitigations=off edd=off"
      -chardev "pipe,id=out,path=$(qv "$ctl/out")" -serial chardev:out
      -chardev "pipe,id=err,path=$(qv "$ctl/err")" -serial chardev:err
      -chardev "file,id=con,path=$(qv "$ctl/console")" -serial chardev:con)
[ -f /usr/share/qemu/qboot.rom ] && args+=(-bios /usr/share/qemu/qboot.rom)  # boots faster
fsdev() {  # id path tag [ro]
  args+=(-fsdev "local,id=$1,path=$(qv "$2"),security_model=none,multidevs=remap${4:+,readonly=on}"
         -device "virtio-9p-pci,fsdev=$1,mount_tag=$3")
}
fsdev root / root ro
fsdev ctl "$ctl/share" ctl
for i in "${!shares[@]}"; do fsdev "s$i" "${shares[$i]}" "share$i"; done

# The guest's first two serial ports reach our stdout and stderr through
# FIFOs and cat, which write through our own descriptors.
mkfifo "$ctl/out.out" "$ctl/err.out" "$ctl/out.in" "$ctl/err.in"
cat "$ctl/out.out" & cat_out=$!
cat "$ctl/err.out" >&2 & cat_err=$!
started=$SECONDS
set +e
# --foreground: QEMU stays in our process group, where a kill of the whole
# group (a CI job's end, say) reaches it.
timeout --foreground -k 10 "$timeout_s" qemu-system-x86_64 "${args[@]}" </dev/null &
qpid=$!
trap 'kill -TERM $qpid 2>/dev/null' TERM INT HUP
wait $qpid
qrc=$?
while kill -0 $qpid 2>/dev/null; do wait $qpid; qrc=143; done  # woken by a signal
qpid=""
trap - TERM INT HUP
# A cat still opening its FIFO (QEMU never did) gets a writer, then the end.
exec 5<>"$ctl/out.out" 6<>"$ctl/err.out" 5>&- 6>&-
wait $cat_out $cat_err
set -e
if [ -s "$ctl/share/status" ]; then
  say "guest ran $((SECONDS - started)) s"
  exit "$(cat "$ctl/share/status")"
fi
case $qrc in
  124|137) say "timed out after ${timeout_s} s"; exit 124 ;;
  143) say "stopped by a signal"; exit 143 ;;
esac
say "the guest ended without a status (QEMU's status $qrc); its console:"
tail -n 40 "$ctl/console" >&2 || true
exit 125
