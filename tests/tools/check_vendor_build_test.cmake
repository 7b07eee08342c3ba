# tools/check_vendor_build.sh on bad input: it empties folders inside the ones it is given, so a
# folder that is not a build folder must be refused before anything is touched.
# Run with -P; TOOL is the script, SIM a built simulator build folder, WORK a scratch folder.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/empty ${WORK}/user/install)
file(WRITE ${WORK}/user/install/keep.txt "a user's file\n")

# expect(status text args...): the run ends with status, and text is on standard error (or
# standard output for status 0).
function(expect status text)
  execute_process(COMMAND ${TOOL} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  if(NOT rc STREQUAL "${status}")
    message(FATAL_ERROR "check_vendor_build.sh ${ARGN}: status ${rc}, want ${status}\n${out}${err}")
  endif()
  string(FIND "${out}${err}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "check_vendor_build.sh ${ARGN}: no '${text}' in\n${out}${err}")
  endif()
endfunction()

expect(0 "Usage: tools/check_vendor_build.sh [--ci] [SIM_BUILD [VENDOR_BUILD]]" --help)
expect(2 "at most two folders, got 3" --ci a b c)
expect(2 "unknown option '--fast'" --fast)
expect(2 "at most two folders, got 3" a b c)
expect(2 "${WORK}/empty is not a simulator build folder; run make build first" ${WORK}/empty)
expect(2 "${WORK}/user is neither empty nor a build folder; name another" ${SIM} ${WORK}/user)
if(NOT EXISTS ${WORK}/user/install/keep.txt)
  message(FATAL_ERROR "a refused folder lost its files")
endif()
