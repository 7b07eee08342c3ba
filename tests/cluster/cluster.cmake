# One run of tests/mpi/mpirun.cmake on a cluster of HOSTS hosts made by tools/cluster/mpirun.sh
# (MPIRUN), with the same variables; then checks that the run left nothing behind: no namespace,
# no state folder, no process of the run, and no process that mpirun left for the script's
# tear-down to kill. Skipped (with the reason) where this machine cannot make the cluster.
cmake_minimum_required(VERSION 3.18)
execute_process(COMMAND ${MPIRUN} --check RESULT_VARIABLE usable OUTPUT_VARIABLE why
                ERROR_VARIABLE why)
if(NOT usable EQUAL 0)
  message("cluster test skipped: ${why}")
  return()
endif()

# A name of its own for every run, so that runs at the same time (ctest -j, other checkouts)
# never meet.
string(RANDOM LENGTH 10 ALPHABET abcdefghijklmnopqrstuvwxyz0123456789 id)
set(cluster_id "t${id}")
set(ENV{OX_CLUSTER_ID} ${cluster_id})

function(ox_after_run)
  unset(ENV{OX_CLUSTER_ID})
  execute_process(COMMAND ip netns list OUTPUT_VARIABLE namespaces)
  if(namespaces MATCHES "ox-[a-z0-9]+-${cluster_id}")
    message(FATAL_ERROR "the run left namespaces:\n${namespaces}\n${shown}")
  endif()
  if(EXISTS /run/ox-cluster/${cluster_id})
    message(FATAL_ERROR "the run left /run/ox-cluster/${cluster_id}\n${shown}")
  endif()
  # Every process of the run, daemons and programs on all hosts, has the run's name in its
  # environment.
  execute_process(COMMAND sh -c "grep -l -a -s -F 'OX_CLUSTER_ID=${cluster_id}' /proc/[0-9]*/environ"
                  OUTPUT_VARIABLE left)
  if(left)
    message(FATAL_ERROR "processes of the run are still there: ${left}\n${shown}")
  endif()
  if(err MATCHES "mpirun.sh: [0-9]+ processes were left in")
    message(FATAL_ERROR "mpirun did not end every process of the run\n${shown}")
  endif()
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/../mpi/mpirun.cmake)
