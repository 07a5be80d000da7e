#!/usr/bin/env bash
# A single-node GlusterFS volume with two FUSE mounts of it, for the tests and
# benchmarks of tables on a distributed file system. Everything runs as root
# inside a network namespace of its own, whose loopback carries the brick's
# private address: no traffic leaves that namespace.
#
#   scripts/netfs.sh up DIR           the volume, mounted at DIR/a and DIR/b
#                                     (two clients: two "hosts")
#   scripts/netfs.sh run DIR -- CMD   CMD inside the namespace, with
#                                     LARKSPUR_NETFS_A and LARKSPUR_NETFS_B set
#   scripts/netfs.sh down DIR         unmounts, stops and deletes the volume,
#                                     ends its processes, deletes the namespace
#                                     and everything under DIR it made
#
# `down` is idempotent and cleans up after a partial `up`; a failed `up` runs
# it itself. glusterd keeps its state, sockets, pid files and logs under DIR
# (its working, run and logging directories and its CLI socket are options of
# its volume file); two things it places outside regardless are the bricks'
# sockets in /var/run/gluster, and the directories /var/run/gluster/snaps,
# /var/lib/glusterd/geo-replication and /var/lib/glusterd/ss_brick, which
# `down` removes when `up` created them.
# The mounts are made from the host's mount namespace (only the network
# namespace is entered), so every process sees them, while the clients'
# traffic stays on the namespace's loopback.
set -Eeuo pipefail

VOLUME=larkspur
ADDRESS=10.213.0.1
# Made by glusterd wherever its own directories are.
OUTSIDE_DIRS=(/var/run/gluster/snaps /var/lib/glusterd/geo-replication
              /var/lib/glusterd/ss_brick)

usage() {
  echo "usage: $0 up DIR | down DIR | run DIR -- COMMAND..." >&2
  exit 2
}

[ $# -ge 2 ] || usage
action="$1"
dir="$(realpath -m "$2")"
shift 2
# One namespace per DIR, so that two volumes under different folders do not
# meet; its name is a hash of the path, so `down` finds it without state.
ns="larkspur-netfs-$(printf '%s' "$dir" | sha1sum | cut -c1-10)"
netns_path="/run/netns/$ns"

in_ns() { nsenter --net="$netns_path" -- "$@"; }
cli() {
  in_ns gluster --mode=script --glusterd-sock="$dir/run/glusterd.socket" \
    --log-file="$dir/log/cli.log" "$@"
}
now() { echo "$EPOCHREALTIME"; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

# glusterd_alive: glusterd of this DIR runs (a zombie left unreaped does not
# count).
glusterd_alive() {
  local pid
  pid="$(cat "$dir/run/glusterd.pid" 2>/dev/null)" || return 1
  [ -n "$pid" ] && [ -r "/proc/$pid/stat" ] &&
    [ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" != Z ]
}

# live_ns_pids: the processes in the namespace that have not exited.
live_ns_pids() {
  local pid
  [ -e "$netns_path" ] || return 0
  for pid in $(ip netns pids "$ns" 2>/dev/null); do
    [ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" = Z ] || echo "$pid"
  done
}

down() {
  local start mount pid pids left i
  start="$(now)"
  for mount in "$dir/a" "$dir/b"; do
    if mountpoint -q "$mount" 2>/dev/null; then
      # A reader still holding a file makes the plain unmount fail; the lazy
      # one detaches the mount, and the client ends with the namespace below.
      umount "$mount" 2>/dev/null || umount -l "$mount"
    fi
  done
  if [ -e "$netns_path" ] && glusterd_alive; then
    cli volume stop "$VOLUME" force >/dev/null 2>&1 || true
    cli volume delete "$VOLUME" >/dev/null 2>&1 || true
  fi
  # Whatever is left in the namespace was started by `up`: glusterd, a brick
  # a stopped volume did not end, a client of a lazily unmounted mount.
  pids="$(live_ns_pids)"
  if [ -n "$pids" ]; then
    # shellcheck disable=SC2086  # one pid per word
    kill $pids 2>/dev/null || true
    for i in $(seq 40); do
      left="$(live_ns_pids)"
      [ -z "$left" ] && break
      [ "$i" = 40 ] || { sleep 0.05; continue; }
      # shellcheck disable=SC2086
      kill -KILL $left 2>/dev/null || true
      sleep 0.1
    done
  fi
  [ -e "$netns_path" ] && ip netns delete "$ns"
  if [ -f "$dir/brick-sockets" ]; then
    while read -r pid; do rm -f "$pid"; done <"$dir/brick-sockets"
  fi
  if [ -f "$dir/created" ]; then
    while read -r pid; do rm -rf "$pid"; done <"$dir/created"
  fi
  for mount in "$dir/a" "$dir/b"; do
    # Never delete into a mount that is still there.
    if mountpoint -q "$mount" 2>/dev/null; then
      echo "netfs: $mount is still mounted; left in place" >&2
      return 1
    fi
  done
  rm -rf "$dir/brick" "$dir/state" "$dir/run" "$dir/log" "$dir/a" "$dir/b" \
    "$dir/glusterd.vol" "$dir/brick-sockets" "$dir/created"
  rmdir "$dir" 2>/dev/null || true
  echo "netfs: down in $(elapsed "$start") s"
}

# fail MESSAGE: prints MESSAGE and the end of the logs, then cleans up.
fail() {
  trap - ERR
  echo "netfs: $1" >&2
  local log
  for log in "$dir"/log/*.log "$dir"/log/bricks/*.log; do
    [ -f "$log" ] || continue
    echo "--- $log" >&2
    tail -n 15 "$log" >&2
  done
  down >&2 || true
  exit 1
}

up() {
  local start i name pidfile
  start="$(now)"
  [ "$(id -u)" = 0 ] || { echo "netfs: needs root" >&2; exit 1; }
  for name in glusterd gluster mount.glusterfs nsenter ip; do
    command -v "$name" >/dev/null ||
      { echo "netfs: $name not found (glusterfs-server, glusterfs-client)" >&2; exit 1; }
  done
  if [ -e "$netns_path" ] || [ -e "$dir/state" ]; then
    echo "netfs: $dir is already up (or half up): run down first" >&2
    exit 1
  fi
  mkdir -p "$dir"/{brick,state,run,log,a,b}
  : >"$dir/created"
  for name in "${OUTSIDE_DIRS[@]}"; do
    [ -e "$name" ] || echo "$name" >>"$dir/created"
  done
  cat >"$dir/glusterd.vol" <<EOF
volume management
    type mgmt/glusterd
    option working-directory $dir/state
    option run-directory $dir/run
    option logging-directory $dir/log
    option glusterd-sockfile $dir/run/glusterd.socket
    option transport-type socket
    option transport.socket.bind-address $ADDRESS
    option transport.socket.listen-port 24007
    option ping-timeout 0
    option event-threads 1
end-volume
EOF
  trap 'fail "up failed (line $LINENO)"' ERR
  ip netns add "$ns"
  in_ns ip link set lo up
  # Gluster refuses loopback addresses as brick hosts; a private address on
  # the namespace's own loopback is reachable only from inside it.
  in_ns ip addr add "$ADDRESS/32" dev lo
  in_ns glusterd -f "$dir/glusterd.vol" -p "$dir/run/glusterd.pid" \
    -l "$dir/log/glusterd.log"
  for i in $(seq 100); do
    cli volume list >/dev/null 2>&1 && break
    [ "$i" = 100 ] && fail "glusterd did not answer within 10 s"
    sleep 0.1
  done
  # force: the brick is on the root file system.
  cli volume create "$VOLUME" "$ADDRESS:$dir/brick" force >/dev/null
  cli volume start "$VOLUME" >/dev/null
  for pidfile in "$dir"/run/vols/"$VOLUME"/*.pid; do
    tr '\0' '\n' <"/proc/$(cat "$pidfile")/cmdline" |
      awk 'prev == "-S" { print } { prev = $0 }' >>"$dir/brick-sockets"
  done
  in_ns mount -t glusterfs -o log-file="$dir/log/mount-a.log" "$ADDRESS:/$VOLUME" "$dir/a"
  in_ns mount -t glusterfs -o log-file="$dir/log/mount-b.log" "$ADDRESS:/$VOLUME" "$dir/b"
  mountpoint -q "$dir/a" && mountpoint -q "$dir/b" || fail "the mounts did not appear"
  trap - ERR
  echo "netfs: up in $(elapsed "$start") s: $dir/a and $dir/b" \
    "(volume $VOLUME, namespace $ns)"
}

case "$action" in
  up) [ $# -eq 0 ] || usage; up ;;
  down) [ $# -eq 0 ] || usage; down ;;
  run)
    [ "${1:-}" = -- ] && shift
    [ $# -gt 0 ] || usage
    [ -e "$netns_path" ] || { echo "netfs: $dir is not up" >&2; exit 1; }
    LARKSPUR_NETFS_A="$dir/a" LARKSPUR_NETFS_B="$dir/b" in_ns "$@"
    ;;
  *) usage ;;
esac
