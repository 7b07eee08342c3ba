# The table checks the program tests share: one result row's error columns.

# Sets <error> to 1 when an error column of the row (the fourth of each mode group, from field
# err_first on) is not "0", and <zero> to 1 when one is "0"; each to 0 otherwise.
function(ox_row_errors line err_first error zero)
  string(STRIP "${line}" fields)
  string(REGEX REPLACE " +" ";" fields "${fields}")
  list(LENGTH fields n)
  set(any_error 0)
  set(any_zero 0)
  foreach(i RANGE ${err_first} ${n} 4)
    if(i LESS n)
      list(GET fields ${i} e)
      if(e STREQUAL "0")
        set(any_zero 1)
      else()
        set(any_error 1)
      endif()
    endif()
  endforeach()
  set(${error} ${any_error} PARENT_SCOPE)
  set(${zero} ${any_zero} PARENT_SCOPE)
endfunction()
