# Runs the matrix (PROG) with --table and fails when it fails, or when the table between the
# README's markers is not the one it printed.
execute_process(COMMAND ${PROG} --table OUTPUT_VARIABLE table ERROR_VARIABLE summary
                RESULT_VARIABLE status)
message(STATUS "${summary}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "check_matrix failed (status ${status})")
endif()
file(READ ${README} readme)
string(FIND "${readme}" "<!-- check_matrix table -->\n" begin)
string(FIND "${readme}" "<!-- end of check_matrix table -->" end)
if(begin LESS 0 OR end LESS begin)
  message(FATAL_ERROR "README.md has no check_matrix table markers")
endif()
string(LENGTH "<!-- check_matrix table -->\n" marker)
math(EXPR begin "${begin} + ${marker}")
math(EXPR length "${end} - ${begin}")
string(SUBSTRING "${readme}" ${begin} ${length} shown)
if(NOT shown STREQUAL table)
  message(FATAL_ERROR "README.md's table is not what check_matrix --table prints now; "
                      "regenerate it with tools/check_matrix/update_readme.sh")
endif()
