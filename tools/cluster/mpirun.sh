#!/usr/bin/env bash
# A cluster of N hosts on this machine: each host is a network namespace with a UTS namespace of
# its own (host name ox-h<i>, own loopback, one veth link onto a bridge that lives in a namespace
# of its own), and Open MPI runs across them over TCP, its daemons started inside the hosts by a
# launch agent of this script instead of ssh. Everything it makes is torn down when it ends.
set -u

usage() {
  cat <<'EOF'
usage: tools/cluster/mpirun.sh -H N [mpirun options] PROGRAM [ARGS]
       tools/cluster/mpirun.sh --check | --cleanup | --help

Makes N hosts ox-h0 ... ox-h<N-1> on this machine (network and UTS namespaces joined by a bridge,
addresses 10.77.0.1 ... on their own links only, no route out), runs Open MPI's mpirun in ox-h0
with a host file of the N hosts, its daemons started in the other hosts, and removes every
namespace, link and process it made when mpirun ends, fails or is interrupted.

The mpirun options and the program are passed on, after these (each left out if given):
  --mca btl tcp,self      TCP between the processes, also within a host; no shared memory
  --bind-to none          the hosts share this machine's cores
Processes are mapped in order, ceil(P / N) per host, P being the sum of the -np values
(1 per host without -np): "-H 2 -np 4" puts ranks 0 and 1 on ox-h0, 2 and 3 on ox-h1.
Give the process count with -np; the host file, the launch agent and Open MPI's session
directories belong to the script.

  --check     exits 0 when a cluster can be made here (root, ip netns, veth, bridge), else
              says why and exits 1
  --cleanup   removes what runs of this script that no longer live left behind (after kill -9)

Needs root, iproute2 (ip), util-linux (unshare) and Open MPI. Environment:
  OX_CLUSTER_ID   names of this run's namespaces: ox-h<i>-ID, ox-net-ID (default: the pid);
                  letters and digits, at most 12
Exit status: mpirun's; 2 for a bad command line, 1 when the cluster cannot be made.
EOF
}

die() {  # die STATUS MESSAGE
  echo "mpirun.sh: $2" >&2
  exit "$1"
}

state_root=/run/ox-cluster
subnet=10.77.0

# ---- the cluster: names, set-up, tear-down ----------------------------------------------------

host_ns() { echo "ox-h$1-$id"; }
net_ns() { echo "ox-net-$id"; }

# Kills the processes inside namespace $1: leaves them a grace of $2 tenths of a second to end by
# themselves, then TERM, then KILL. Prints how many had to be killed.
empty_namespace() {
  local ns=$1 grace=$2 pids t killed=0
  for ((t = 0; t < grace; ++t)); do
    pids=$(ip netns pids "$ns" 2>/dev/null) || return 0
    [ -z "$pids" ] && { echo 0; return 0; }
    sleep 0.1
  done
  pids=$(ip netns pids "$ns" 2>/dev/null)
  if [ -n "$pids" ]; then
    killed=$(echo "$pids" | wc -w)
    kill -TERM $pids 2>/dev/null
    for ((t = 0; t < 20; ++t)); do
      pids=$(ip netns pids "$ns" 2>/dev/null)
      [ -z "$pids" ] && break
      sleep 0.1
    done
    [ -n "$pids" ] && kill -KILL $pids 2>/dev/null
    for ((t = 0; t < 20; ++t)); do
      [ -z "$(ip netns pids "$ns" 2>/dev/null)" ] && break
      sleep 0.1
    done
  fi
  echo "$killed"
}

# Removes every namespace and the state folder of cluster $1. With a grace ($2 tenths of a
# second), processes still in a host after mpirun has ended are reported.
teardown_cluster() {
  local cid=$1 grace=${2:-0} ns killed
  for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep -E "^ox-(h[0-9]+|net)-$cid\$"); do
    killed=$(empty_namespace "$ns" "$grace")
    if [ "$grace" -gt 0 ] && [ "${killed:-0}" -gt 0 ]; then
      echo "mpirun.sh: $killed processes were left in ${ns%-"$cid"} after mpirun ended; killed them" >&2
    fi
    ip netns delete "$ns" 2>/dev/null
  done
  rm -rf "${state_root:?}/$cid"
  rmdir "$state_root" 2>/dev/null
}

# Makes hosts 0 .. $1-1 of cluster $id; says what failed and returns 1 on failure.
setup_cluster() {
  local n=$1 i ns net
  net=$(net_ns)
  run() { "$@" 2>&1 >/dev/null | sed 's/^/  /' >&2; [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "mpirun.sh: failed: $*" >&2; return 1; }; }
  run ip netns add "$net" || return 1
  run ip -n "$net" link add br0 type bridge || return 1
  run ip -n "$net" link set br0 up || return 1
  for ((i = 0; i < n; ++i)); do
    ns=$(host_ns "$i")
    run ip netns add "$ns" || return 1
    # Made inside the bridge's namespace, so no link ever appears in this machine's own.
    run ip -n "$net" link add "h$i" type veth peer name eth0 netns "$ns" || return 1
    run ip -n "$net" link set "h$i" master br0 up || return 1
    run ip -n "$ns" addr add "$subnet.$((i + 1))/24" dev eth0 || return 1
    run ip -n "$ns" link set eth0 up || return 1
    run ip -n "$ns" link set lo up || return 1
  done
}

# Removes what runs that no longer live left behind: their state folders name the pid of the
# script that made them.
sweep_dead() {
  local dir cid owner ns
  for dir in "$state_root"/*/; do
    [ -d "$dir" ] || continue
    cid=$(basename "$dir")
    # No owner yet: a run between making its folder and writing its pid.
    owner=$(cat "$dir/owner" 2>/dev/null) || continue
    if [ -z "$owner" ] || { kill -0 "$owner" 2>/dev/null &&
         grep -qa mpirun.sh "/proc/$owner/cmdline" 2>/dev/null; }; then
      continue
    fi
    teardown_cluster "$cid"
  done
  # Namespaces of this script's naming without a state folder have no owner either.
  for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep -E '^ox-(h[0-9]+|net)-[A-Za-z0-9]+$'); do
    cid=${ns##*-}
    [ -d "$state_root/$cid" ] || teardown_cluster "$cid"
  done
}

need_tools() {
  [ "$(id -u)" = 0 ] || { echo "mpirun.sh: needs root to make network namespaces; run it as root (sudo)" >&2; return 1; }
  local tool
  for tool in ip unshare mpirun; do
    command -v "$tool" >/dev/null || { echo "mpirun.sh: '$tool' not found; install iproute2, util-linux and openmpi-bin" >&2; return 1; }
  done
}

check_here() {
  need_tools || return 1
  id=chk$$
  mkdir -p "$state_root/$id" && echo $$ >"$state_root/$id/owner" || {
    echo "mpirun.sh: cannot write $state_root" >&2; return 1; }
  local ok=0 why
  setup_cluster 2 || ok=1
  if [ $ok = 0 ] && ! why=$(ip netns exec "$(host_ns 0)" unshare --uts -- \
                               sh -c 'echo ox-h0 >/proc/sys/kernel/hostname' 2>&1); then
    echo "mpirun.sh: a host cannot be entered with its own name here: $why" >&2
    ok=1
  fi
  teardown_cluster "$id"
  return $ok
}

# ---- command line -----------------------------------------------------------------------------

[ $# -gt 0 ] || { usage >&2; exit 2; }
case $1 in
  --help | -h) usage; exit 0 ;;
  --check) check_here; exit $? ;;
  --cleanup) need_tools || exit 1; sweep_dead; exit 0 ;;
  -H) [ $# -ge 2 ] || die 2 "-H needs a host count (see --help)"; hosts=$2; shift 2 ;;
  -H*) hosts=${1#-H}; shift ;;
  *) die 2 "the first option must be -H N, the number of hosts (see --help)" ;;
esac
case $hosts in
  '' | *[!0-9]*) die 2 "-H takes a host count, not '$hosts'" ;;
esac
[ ${#hosts} -le 3 ] && [ "$((10#$hosts))" -ge 1 ] && [ "$((10#$hosts))" -le 64 ] ||
  die 2 "-H takes 1 to 64 hosts, not $hosts"
hosts=$((10#$hosts))
[ $# -gt 0 ] || die 2 "no program given (see --help)"

procs=0 with_btl=0 with_bind=0 prev=""
for word in "$@"; do
  case $prev in
    -np | --np)
      case $word in
        '' | *[!0-9]*) die 2 "-np takes a number, not '$word'" ;;
      esac
      [ ${#word} -le 6 ] || die 2 "-np $word: too many processes"
      procs=$((procs + 10#$word)) ;;
    -mca | --mca)
      case $word in
        btl) with_btl=1 ;;
        plm_rsh_agent | orte_rsh_agent | plm_rsh_no_tree_spawn | orte_tmpdir_base | plm)
          die 2 "the script sets --mca $word itself" ;;
      esac ;;
  esac
  case $word in
    --bind-to | -bind-to) with_bind=1 ;;
    --hostfile | -hostfile | --machinefile | -machinefile | --default-hostfile | -default-hostfile)
      die 2 "the script makes the host file; leave out $word" ;;
  esac
  prev=$word
done
slots=1
[ "$procs" -gt 0 ] && slots=$(((procs + hosts - 1) / hosts))

id=${OX_CLUSTER_ID:-$$}
case $id in
  '' | *[!A-Za-z0-9]*) die 2 "OX_CLUSTER_ID '$id' must be letters and digits" ;;
esac
[ ${#id} -le 12 ] || die 2 "OX_CLUSTER_ID '$id' is longer than 12"
need_tools || exit 1

# ---- the run ----------------------------------------------------------------------------------

sweep_dead
state=$state_root/$id
# Another run may remove the empty $state_root between the two mkdirs: then try again.
for _ in 1 2 3; do
  mkdir -p "$state_root" 2>/dev/null
  mkdir "$state" 2>/dev/null && break
  [ -e "$state" ] && die 1 "cluster '$id' exists already ($state); give another OX_CLUSTER_ID"
done
[ -d "$state" ] || die 1 "cannot make $state"
echo $$ >"$state/owner"
mkdir "$state/tmp"

mpirun_pid=""
filter_pid=""
finish() {  # finish STATUS
  trap '' INT TERM HUP
  exec 3>&-
  teardown_cluster "$id" 50
  [ -n "$filter_pid" ] && wait "$filter_pid" 2>/dev/null
  exit "$1"
}
on_signal() {  # on_signal NAME NUMBER
  if [ -n "$mpirun_pid" ]; then
    # mpirun ends its job on TERM; a second signal or a stuck launcher is met by the tear-down.
    kill -TERM "$mpirun_pid" 2>/dev/null
    local t
    for ((t = 0; t < 100; ++t)); do
      kill -0 "$mpirun_pid" 2>/dev/null || break
      sleep 0.1
    done
  fi
  echo "mpirun.sh: interrupted by SIG$1; tearing the cluster down" >&2
  finish $((128 + $2))
}
trap 'on_signal INT 2' INT
trap 'on_signal TERM 15' TERM
trap 'on_signal HUP 1' HUP

setup_cluster "$hosts" || { echo "mpirun.sh: could not make the cluster" >&2; finish 1; }

for ((i = 0; i < hosts; ++i)); do
  echo "ox-h$i slots=$slots"
done >"$state/hostfile"

# Open MPI's rsh launcher calls "agent HOST WORD...", the words being a command line for the
# remote shell, as ssh would run them. The daemon then runs in that host's network namespace,
# under the host's name.
cat >"$state/agent" <<EOF
#!/bin/sh
host=\$1
shift
case \$host in
  ox-h[0-9]*) ;;
  *) echo "mpirun.sh agent: no host '\$host' in this cluster" >&2; exit 1 ;;
esac
# As under ssh, the daemon stays the agent's child, not a daemon of its own that init reaps.
n=\$#
for word; do
  [ "\$word" = --daemonize ] || set -- "\$@" "\$word"
done
shift "\$n"
exec ip netns exec "\$host-$id" unshare --uts -- /bin/sh -c \\
  'echo "\$0" >/proc/sys/kernel/hostname && eval "\$*"' "\$host" "\$@"
EOF
chmod 755 "$state/agent"

args=(--hostfile "$state/hostfile" --mca plm_rsh_agent "$state/agent"
      --mca plm_rsh_no_tree_spawn 1 --mca orte_tmpdir_base "$state/tmp")
[ $with_btl = 1 ] || args+=(--mca btl "tcp,self")
[ $with_bind = 1 ] || args+=(--bind-to none)
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OX_CLUSTER_ID=$id

# The launcher warns when a daemon's agent has started before it could set the agent's process
# group, a harmless race; that line is dropped, the rest of standard error passes.
exec 3> >(grep -v --line-buffered 'plm:rsh: Warning: setpgid' >&2)
filter_pid=$!
ip netns exec "$(host_ns 0)" unshare --uts -- /bin/sh -c \
  'echo ox-h0 >/proc/sys/kernel/hostname && exec "$@"' mpirun mpirun "${args[@]}" "$@" 2>&3 &
mpirun_pid=$!
wait "$mpirun_pid"
status=$?
mpirun_pid=""
finish "$status"
