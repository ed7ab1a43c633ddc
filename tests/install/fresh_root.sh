# A minimal Debian 12 made by debootstrap in a temporary folder, for the checks
# that must see what a machine fresh from the installer lacks. The caller sets
# `root` (the folder for the system, beside its own temporary files) and calls
# fresh_root_cleanup on exit, whatever happened.

# fresh_root_make MIRROR LOG: debootstrap --variant=minbase bookworm into $root.
fresh_root_make() {
  debootstrap --variant=minbase bookworm "$root" "$1" >"$2" 2>&1 ||
    { tail -20 "$2" >&2; echo "FAIL: debootstrap failed" >&2; return 1; }
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  # Packages install as on a machine, but start no services: a daemon started
  # here would outlive the check.
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod 755 "$root/usr/sbin/policy-rc.d"
}

# fresh_root_mount: /proc, /sys (read-only) and a /dev of its own with the
# usual nodes, pseudo-terminals and shared memory; nothing of this machine's
# devices beyond those. The root itself is no mount point there, as in many
# containers.
fresh_root_mount() {
  mount -t proc proc "$root/proc"
  mount -t sysfs -o ro sysfs "$root/sys"
  mount -t tmpfs -o mode=755,nosuid tmpfs "$root/dev"
  local node
  for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
    IFS=: read -r name major minor <<<"$node"
    mknod -m 666 "$root/dev/$name" c "$major" "$minor"
  done
  mkdir "$root/dev/pts" "$root/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$root/dev/pts"
  ln -s pts/ptmx "$root/dev/ptmx"
  mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/dev/shm"
  ln -s /proc/self/fd "$root/dev/fd"
}

# in_root COMMAND: runs a shell command in the fresh system as root, with a
# clean environment plus the NAME=VALUE words in `root_env`.
root_env=()
in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "${root_env[@]}" /bin/bash -c "$1"
}

# The installed packages, one name a line, sorted.
root_packages() {
  in_root "dpkg-query -W -f='\${db:Status-Abbrev} \${Package}\n'" | awk '$1 == "ii" { print $2 }' |
    LC_ALL=C sort
}

# Ends every process whose root is the fresh system (found by their root, so
# nothing else on this machine is touched).
fresh_root_kill() {
  local real pid link signal
  real=$(readlink -f "$root")
  for signal in TERM KILL; do
    for pid in /proc/[0-9]*; do
      link=$(readlink "$pid/root" 2>/dev/null) || continue
      case $link in
        "$real" | "$real"/*) kill -s "$signal" "${pid#/proc/}" 2>/dev/null || true ;;
      esac
    done
    if [ "$signal" = TERM ]; then sleep 1; fi
  done
}

# Ends the fresh system's processes and unmounts everything below it, deepest
# first. The caller then removes the folder with `rm -rf --one-file-system`,
# which never crosses into a mount that would not go.
fresh_root_cleanup() {
  # On the way out, whatever failed: do every step.
  set +e
  [ -n "${root:-}" ] && [ -d "$root" ] || return 0
  fresh_root_kill
  local real mounts
  real=$(readlink -f "$root")
  mounts=$(awk -v r="$real" '$5 == r || index($5, r "/") == 1 { print $5 }' /proc/self/mountinfo |
    sort -r)
  local m
  for m in $mounts; do
    umount "$m" 2>/dev/null || umount -l "$m" || true
  done
}
