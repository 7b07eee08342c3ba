# Configuring the vendor build against made-up installations: which headers it takes, the
# library it reports missing, and a new root replacing the libraries found under the old one.
# Run with -P; SRC is the source tree, WORK a scratch folder. Nothing is built, so empty files
# stand in for the libraries.
file(REMOVE_RECURSE ${WORK})
set(libs liboxrt.so liboxdrv.so liboxdev.so liboxcl.so.1 liboxmpi_wrapper.so)
foreach(root bare full lib64)
  set(dir lib)
  if(root STREQUAL "lib64")
    set(dir lib64)
  endif()
  foreach(lib ${libs})
    file(WRITE ${WORK}/${root}/${dir}/${lib} "")
  endforeach()
endforeach()
foreach(header oxrt.h ox.h oxdev.h oxcl.h oxmpi_wrapper.h)
  file(COPY ${SRC}/platform/${header} DESTINATION ${WORK}/full/include)
endforeach()
file(COPY ${SRC}/platform/oxrt.h DESTINATION ${WORK}/lib64/include)
file(WRITE ${WORK}/nocl/lib/liboxrt.so "")

# configure(build root status text...): configuring build against root ends with status, and
# its output holds every text.
function(configure build root status)
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SRC} -B ${WORK}/${build} -DOX_PLATFORM=vendor
                          -DOX_VENDOR_ROOT=${WORK}/${root} -DOX_BUILD_TESTS=OFF
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if((status EQUAL 0) AND NOT (rc EQUAL 0) OR NOT (status EQUAL 0) AND (rc EQUAL 0))
    message(FATAL_ERROR "configure against ${root}: status ${rc}\n${out}${err}")
  endif()
  string(REGEX REPLACE "[ \n]+" " " all "${out}${err}")  # messages wrap
  foreach(text ${ARGN})
    string(FIND "${all}" "${text}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "configure against ${root}: no '${text}' in\n${out}${err}")
    endif()
  endforeach()
endfunction()

configure(a full 0 "Vendor libraries: ${WORK}/full/lib"
          "Vendor headers: the vendor's, in ${WORK}/full/include")
configure(b bare 0 "Vendor headers: the project's declarations in ${SRC}/platform"
          "(${WORK}/bare/include lacks oxrt.h ox.h oxdev.h oxcl.h oxmpi_wrapper.h)")
# One header is not enough: a mix of the two could declare an interface twice.
configure(c lib64 0 "Vendor libraries: ${WORK}/lib64/lib64"
          "(${WORK}/lib64/include lacks ox.h oxdev.h oxcl.h oxmpi_wrapper.h)")
configure(d nocl 1 "has no liboxdrv.so in lib/ or lib64/")
# The same build folder, another root: nothing of the first stays.
configure(a bare 0 "Vendor libraries: ${WORK}/bare/lib")
file(STRINGS ${WORK}/a/CMakeCache.txt found REGEX "^OX_VENDOR_cl:")
if(NOT found MATCHES "/bare/lib/liboxcl.so")
  message(FATAL_ERROR "the collective library after a new root: ${found}")
endif()
