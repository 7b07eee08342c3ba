# The command line of the real programs: exit status, standard error (texts and their order),
# an empty standard output, and no device or MPI call where the parse ends the program.
# Included from the build, this file adds the tests; run with -P, it checks one case.
#
# Lists travel to the check as one word with "|" between the items. In OX_IN_ORDER the item
# @usage stands for the whole usage text, @file:PATH for the text of that file.
if(CMAKE_SCRIPT_MODE_FILE)
  cmake_minimum_required(VERSION 3.18)
  # The shorter form other program tests use: PROG, ARGS (a list), STATUS, EXPECT_TEXT or
  # EXPECT_FILE (found anywhere in standard error), NO_CALLS.
  if(NOT DEFINED OX_PROG AND DEFINED PROG)
    set(OX_PROG ${PROG})
    set(OX_STATUS ${STATUS})
    # The words arrive as "-p\;path" when the test wrote them so.
    string(REPLACE "\\;" "|" OX_ARGS "${ARGS}")
    string(REPLACE ";" "|" OX_ARGS "${OX_ARGS}")
    set(OX_IN_ORDER "${EXPECT_TEXT}")
    if(EXPECT_FILE)
      set(OX_IN_ORDER "@file:${EXPECT_FILE}")
    endif()
    if(NO_CALLS)
      set(OX_CALLS none)
    endif()
    string(MD5 key "${PROG} ${ARGS}")
    set(OX_WORK ${CMAKE_CURRENT_BINARY_DIR}/cli/short_${key})
    set(OX_GOLDEN ${CMAKE_CURRENT_LIST_DIR}/../golden)
  endif()
  foreach(var ARGS IN_ORDER LACKS EXPECT_FILES)
    string(REPLACE "|" ";" ${var} "${OX_${var}}")
  endforeach()
  file(READ ${OX_GOLDEN}/usage.txt usage_text)
  file(READ ${OX_GOLDEN}/version.txt version_text)
  file(REMOVE_RECURSE ${OX_WORK})
  file(MAKE_DIRECTORY ${OX_WORK}/out)
  set(call_log ${OX_WORK}/calls.log)
  set(ENV{OXSIM_CALL_LOG} ${call_log})
  execute_process(COMMAND ${OX_PROG} ${ARGS} WORKING_DIRECTORY ${OX_WORK} RESULT_VARIABLE status
                  OUTPUT_VARIABLE out ERROR_VARIABLE err)
  list(JOIN ARGS " " words)
  set(shown "${OX_PROG} ${words}\n--- standard error:\n${err}--- standard output:\n${out}")
  if(NOT status STREQUAL OX_STATUS)
    message(FATAL_ERROR "exit status ${status}, expected ${OX_STATUS}\n${shown}")
  endif()
  # Help and version write only their fixed text.
  if(OX_STDERR STREQUAL "help" AND NOT err STREQUAL "${version_text}${usage_text}")
    message(FATAL_ERROR "standard error is not the version line and the usage text\n${shown}")
  elseif(OX_STDERR STREQUAL "version" AND NOT err STREQUAL "${version_text}")
    message(FATAL_ERROR "standard error is not the version line alone\n${shown}")
  endif()
  set(rest "${err}")
  foreach(text IN LISTS IN_ORDER)
    if(text STREQUAL "@usage")
      set(text "${usage_text}")
    elseif(text MATCHES "^@file:(.*)")
      file(READ ${CMAKE_MATCH_1} text)
    endif()
    string(FIND "${rest}" "${text}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "standard error lacks, at this point of the order, '${text}'\n${shown}")
    endif()
    string(LENGTH "${text}" length)
    math(EXPR at "${at} + ${length}")
    string(SUBSTRING "${rest}" ${at} -1 rest)
  endforeach()
  foreach(text IN LISTS LACKS)
    string(FIND "${err}" "${text}" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "standard error should not hold '${text}'\n${shown}")
    endif()
  endforeach()
  if(OX_CHECK_STDOUT AND NOT out STREQUAL "")
    message(FATAL_ERROR "standard output should be empty\n${shown}")
  endif()
  foreach(path IN LISTS EXPECT_FILES)
    if(NOT EXISTS ${OX_WORK}/${path})
      message(FATAL_ERROR "the run wrote no ${path}\n${shown}")
    endif()
  endforeach()
  set(calls "")
  if(EXISTS ${call_log})
    file(READ ${call_log} calls)
  endif()
  if(OX_CALLS STREQUAL "none" AND NOT calls STREQUAL "")
    message(FATAL_ERROR "device or MPI calls were made:\n${calls}\n${shown}")
  elseif(OX_CALLS STREQUAL "some" AND calls STREQUAL "")
    # Guards the "none" checks: the simulator must be seen counting a real run.
    message(FATAL_ERROR "a real run left no call log\n${shown}")
  endif()
  return()
endif()

set(OX_CLI_SCRIPT ${CMAKE_CURRENT_LIST_FILE})
set(OX_CLI_CHECK ${OX_CLI_SCRIPT})  # the name other program tests know it by
set(OX_CLI_GOLDEN ${CMAKE_CURRENT_LIST_DIR}/../golden)
set(OX_MAIN_LINE "error msg: Please check the input arguments or use -h/--help")

# ox_cli_test(name program status ARGS ... [IN_ORDER ...] [LACKS ...] [EXPECT_FILES ...]
#             [STDERR help|version] [RUNS]): a rejected or quitting command line by default:
# nothing on standard output and no device or MPI call; RUNS for a command line that runs.
function(ox_cli_test name program status)
  cmake_parse_arguments(T "RUNS" "STDERR" "ARGS;IN_ORDER;LACKS;EXPECT_FILES" ${ARGN})
  set(calls none)
  set(check_stdout 1)
  if(T_RUNS)
    set(calls some)
    set(check_stdout 0)
  endif()
  foreach(var ARGS IN_ORDER LACKS EXPECT_FILES)
    string(REPLACE ";" "|" ${var} "${T_${var}}")
  endforeach()
  add_test(NAME cli_${name} COMMAND ${CMAKE_COMMAND} -DOX_PROG=$<TARGET_FILE:${program}>
           -DOX_STATUS=${status} "-DOX_ARGS=${ARGS}" "-DOX_IN_ORDER=${IN_ORDER}"
           "-DOX_LACKS=${LACKS}" "-DOX_EXPECT_FILES=${EXPECT_FILES}" -DOX_STDERR=${T_STDERR}
           -DOX_CALLS=${calls} -DOX_CHECK_STDOUT=${check_stdout} -DOX_GOLDEN=${OX_CLI_GOLDEN}
           -DOX_WORK=${CMAKE_CURRENT_BINARY_DIR}/cli/${name} -P ${OX_CLI_SCRIPT})
  set_tests_properties(cli_${name} PROPERTIES TIMEOUT 120)
endfunction()

set(OX_CLI_PROGRAMS bench-allreduce bench-reducescatter bench-allgather bench-alltoall)
foreach(prog IN LISTS OX_CLI_PROGRAMS)
  ox_cli_test(help_${prog} ${prog} 3 ARGS -h STDERR help)
  ox_cli_test(version_${prog} ${prog} 3 ARGS -V STDERR version)
  ox_cli_test(bad_option_${prog} ${prog} 1 ARGS --nosuch
              IN_ORDER "unrecognized option" @usage "${OX_MAIN_LINE}")
  ox_cli_test(trailing_dashes_${prog} ${prog} 1 ARGS -l 1 --
              IN_ORDER "Error: unknown option '--'" @usage "${OX_MAIN_LINE}")
  # Every option, in the forms a user types: separate, attached, "=", unique prefixes.
  ox_cli_test(all_options_${prog} ${prog} 0 RUNS
              ARGS --min=1K -x2K --addc 1K -m 2 -l1 --warmup_loop=0 -b 1 -d1 --reduce=max
                   -t int8,float32 -e 3K -z outofplace -y 1 -c2 --threads=2 -f 1 -k0 -M 0
                   --stress_test 0 -q 0 -i0 -o 0 -p out/ --mem_usage_path out/ -v
              EXPECT_FILES out/output.csv out/oxcl_mem_usage.csv)
endforeach()
ox_cli_test(help_later_words bench-allgather 3 ARGS -l 5 --he -b 7 STDERR help)
ox_cli_test(version_prefix bench-alltoall 3 ARGS --vers STDERR version)

# Rejections, spread over the programs: the value parser's line, the option's line, main's line.
set(MAIN "${OX_MAIN_LINE}")
ox_cli_test(block_2 bench-allreduce 1 ARGS -b 2 LACKS "Usage:" IN_ORDER
            "-b/--block input should be 0 or 1, please check the input"
            "error msg: Please check the -b/--block input" "${MAIN}")
ox_cli_test(loop_range bench-reducescatter 1 ARGS --loop=2147483648 IN_ORDER
            "-l/--loop input is not 0 or a positive integer, please check the input"
            "error msg: Please check the -l/--loop input" "${MAIN}")
ox_cli_test(stress_word bench-allgather 1 ARGS "-#" yes IN_ORDER
            "--stress_test input should be 0 or 1" "error msg: Please check the --stress_test input")
ox_cli_test(threads_0 bench-alltoall 1 ARGS -s0 LACKS "Please check the -s" IN_ORDER
            "-s/--threads should bigger than 0" "${MAIN}")
ox_cli_test(count_0 bench-allreduce 1 ARGS -n 0M IN_ORDER
            "Input count cannot less than or equal to 0" "error msg: -n input is not supported"
            "${MAIN}")
# 2^64 and 2^34 G would wrap to 0 (or a small count) in 64 bits: rejected as such, not as 0.
ox_cli_test(count_overflow bench-reducescatter 1 ARGS --maxcount 18446744073709551616
            LACKS "cannot less than" IN_ORDER "error msg: -x input is not supported" "${MAIN}")
ox_cli_test(count_product_overflow bench-allgather 1 ARGS -a 17179869184G
            LACKS "cannot less than" IN_ORDER "error msg: -a input is not supported" "${MAIN}")
ox_cli_test(special_piece bench-alltoall 1 ARGS -e 1M,x IN_ORDER "error msg: x is not supported"
            "error msg: -e input is not supported" "${MAIN}")
ox_cli_test(type_none bench-allreduce 1 ARGS --data_type=, IN_ORDER ", is not supported yet"
            "error msg: -t input is not supported" "${MAIN}")
ox_cli_test(op_case bench-reducescatter 1 ARGS -r SUM IN_ORDER "SUM is not supported yet"
            "error msg: -r input is not supported" "${MAIN}")
ox_cli_test(mode_list bench-allgather 1 ARGS -z inplace,outofplace IN_ORDER
            "inplace,outofplace is not supported yet" "error msg: -z input is not supported"
            "-z accepts all, inplace, outofplace")
# A refused value: the fixed lines, then one that lists what the option accepts.
ox_cli_test(type_typo bench-allreduce 1 ARGS -t flaot IN_ORDER "flaot is not supported yet"
            "error msg: -t input is not supported"
            "-t accepts all, or a comma list of bfloat16, float, float16, int16, int32, int64, int8, uint16, uint32, uint64, uint8 (float32 is float)"
            "${MAIN}")
ox_cli_test(count_lower_case bench-allgather 1 ARGS -n 1k IN_ORDER
            "error msg: -n input is not supported"
            "-n accepts a whole number above 0, optionally followed by K, M or G (upper case; 1K = 1024 elements)"
            "${MAIN}")
ox_cli_test(count_fraction bench-alltoall 1 ARGS -x 1.5M IN_ORDER
            "error msg: -x input is not supported" "-x accepts a whole number above 0" "${MAIN}")
ox_cli_test(op_unknown bench-reducescatter 1 ARGS -r avg IN_ORDER "avg is not supported yet"
            "error msg: -r input is not supported" "-r accepts all, or a comma list of max, min, prod, sum"
            "${MAIN}")
ox_cli_test(comms_sync bench-alltoall 1 ARGS -c 2 LACKS "Usage:" IN_ORDER
            "Input --comms should equal to 1 when not use --async" "${MAIN}")
ox_cli_test(help_value bench-allreduce 1 ARGS -hx LACKS "Usage:" "VERSION"
            IN_ORDER "Please use -h or --help" "${MAIN}")
ox_cli_test(version_value bench-reducescatter 1 ARGS --version=1 LACKS "VERSION"
            IN_ORDER "Please use -V or --version" "${MAIN}")
ox_cli_test(double_v bench-allgather 1 ARGS -vv
            IN_ORDER "Should be only -v, please check the input in -v" "${MAIN}")
ox_cli_test(stray_word bench-alltoall 1 ARGS -v stray -l 2
            IN_ORDER "At least one non-option argument exists" @usage "${MAIN}")
ox_cli_test(dashes_word bench-allreduce 1 ARGS -- -l
            IN_ORDER "At least one non-option argument exists" @usage "${MAIN}")
ox_cli_test(ambiguous_prefix bench-reducescatter 1 ARGS --m 1
            IN_ORDER "ambiguous" @usage "${MAIN}")
ox_cli_test(missing_value bench-allgather 1 ARGS -l
            IN_ORDER "requires an argument" @usage "${MAIN}")
