#!/usr/bin/env bash
# tools/cluster/mpirun.sh itself: help, refused command lines (before anything is made), a
# refusal without root, a program that cannot start, a second run under a name in use, and the
# clean-up of a run whose script was killed with SIGKILL.
#   tests/cluster/script_test.sh SCRIPT     (status 77: skipped, no cluster can be made here)
set -u
script=$1
failures=0
scratch=$(mktemp -d "${TMPDIR:-/tmp}/ox-cluster-test.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect STATUS TEXT COMMAND...: the command ends with STATUS and its output holds TEXT.
expect() {
  local want=$1 text=$2 got
  shift 2
  "$@" >"$scratch/out" 2>&1
  got=$?
  [ "$got" = "$want" ] || fail "$* ended with $got, expected $want: $(cat "$scratch/out")"
  [ -z "$text" ] || grep -qF -- "$text" "$scratch/out" || fail "$* did not say '$text': $(cat "$scratch/out")"
}

# leftovers ID: nothing of cluster ID may remain. Processes get 5 s to go: after a SIGKILL the
# script's standard-error filter ends only once the pipe's last writer has been killed.
leftovers() {
  local id=$1
  ip netns list | grep -E -- "-$id( |\$)" && fail "namespaces of $id are left"
  [ -e "/run/ox-cluster/$id" ] && fail "/run/ox-cluster/$id is left"
  for _ in $(seq 50); do
    grep -l -a -s -F "OX_CLUSTER_ID=$id" /proc/[0-9]*/environ >/dev/null || return 0
    sleep 0.1
  done
  fail "processes of $id are left: $(grep -l -a -s -F "OX_CLUSTER_ID=$id" /proc/[0-9]*/environ)"
}

expect 0 "usage: tools/cluster/mpirun.sh -H N" "$script" --help
expect 2 "usage:" "$script"
expect 2 "first option must be -H N" "$script" -np 2 true
expect 2 "-H takes 1 to 64 hosts, not 0" "$script" -H 0 true
expect 2 "-H takes a host count, not 'two'" "$script" -H two true
expect 2 "no program given" "$script" -H 2
expect 2 "-np takes a number, not 'x'" "$script" -H 2 -np x true
expect 2 "makes the host file" "$script" -H 2 --hostfile /etc/hosts true
expect 2 "sets --mca plm_rsh_agent itself" "$script" -H 2 --mca plm_rsh_agent ssh true
expect 2 "must be letters and digits" env OX_CLUSTER_ID=a-b "$script" -H 2 true
if command -v setpriv >/dev/null && [ "$(id -u)" = 0 ]; then
  expect 1 "needs root" setpriv --reuid=65534 --regid=65534 --clear-groups "$script" -H 2 true
fi

if ! why=$("$script" --check 2>&1); then
  echo "cluster test skipped: $why"
  [ $failures = 0 ] || exit 1
  exit 77
fi
tag=s$$

# A program that does not exist: mpirun fails, and the cluster goes all the same.
id=${tag}a
OX_CLUSTER_ID=$id "$script" -H 2 -np 2 /nonexistent/program >"$scratch/out" 2>&1 &&
  fail "a missing program ended with status 0"
leftovers $id

# A run in progress keeps its name: a second one under it is refused and touches nothing.
# Then the first script is killed with SIGKILL, which no tear-down follows; --cleanup removes
# its hosts, its mpirun and its programs.
id=${tag}b
OX_CLUSTER_ID=$id "$script" -H 2 -np 2 sleep 60 >"$scratch/long" 2>&1 &
long=$!
for _ in $(seq 300); do
  ip netns pids "ox-h1-$id" 2>/dev/null | xargs -r ps -o comm= -p | grep -q sleep && break
  sleep 0.1
done
expect 1 "exists already" env OX_CLUSTER_ID=$id "$script" -H 2 -np 2 true
ip netns list | grep -q -- "ox-h1-$id" || fail "the refused run removed the first run's hosts"
"$script" --cleanup
ip netns list | grep -q -- "ox-h1-$id" || fail "--cleanup removed the hosts of a live run"
{ kill -KILL $long; wait $long; } 2>/dev/null
ip netns list | grep -q -- "ox-h0-$id" || fail "no hosts were left to clean up"
expect 0 "" "$script" --cleanup
leftovers $id

[ $failures = 0 ] && echo "all checks held"
[ $failures = 0 ]
