# The vendor platform: the five libraries of an installed vendor stack under OX_VENDOR_ROOT, as
# imported targets with the names the simulator's targets have (ox::rt, ox::drv, ox::dev, ox::cl,
# ox::mpi_wrapper). Sets OX_PLATFORM_INCLUDE (the headers to compile against) and
# OX_VENDOR_LIB_DIRS (where the libraries are, for the programs' RUNPATH).
if(NOT OX_VENDOR_ROOT)
  message(FATAL_ERROR "OX_PLATFORM=vendor needs OX_VENDOR_ROOT=<install prefix of the vendor "
                      "stack> (the folder that holds lib/liboxrt.so)")
endif()
get_filename_component(OX_VENDOR_ROOT "${OX_VENDOR_ROOT}" ABSOLUTE)

# Found paths stay in the cache; a different root must not keep the libraries of the old one.
set(ox_vendor_libs rt drv dev cl mpi_wrapper)
if(DEFINED OX_VENDOR_ROOT_FOUND AND NOT OX_VENDOR_ROOT_FOUND STREQUAL OX_VENDOR_ROOT)
  foreach(lib ${ox_vendor_libs})
    unset(OX_VENDOR_${lib} CACHE)
  endforeach()
endif()
set(OX_VENDOR_ROOT_FOUND "${OX_VENDOR_ROOT}" CACHE INTERNAL "OX_VENDOR_ROOT the libraries were found under")

set(OX_VENDOR_LIB_DIRS "")
foreach(lib ${ox_vendor_libs})
  # The collective library may come with its versioned name alone.
  set(names ox${lib})
  set(file libox${lib}.so)
  if(lib STREQUAL "cl")
    list(APPEND names liboxcl.so.1)
    set(file liboxcl.so.1)
  endif()
  find_library(OX_VENDOR_${lib} NAMES ${names} PATHS ${OX_VENDOR_ROOT}/lib ${OX_VENDOR_ROOT}/lib64
               NO_DEFAULT_PATH)
  if(NOT OX_VENDOR_${lib})
    message(FATAL_ERROR "OX_VENDOR_ROOT=${OX_VENDOR_ROOT} has no ${file} in lib/ or "
                        "lib64/: point OX_VENDOR_ROOT at the vendor stack's install prefix, which "
                        "holds liboxrt.so, liboxdrv.so, liboxdev.so, liboxcl.so.1 and "
                        "liboxmpi_wrapper.so")
  endif()
  add_library(ox::${lib} SHARED IMPORTED)
  set_target_properties(ox::${lib} PROPERTIES IMPORTED_LOCATION ${OX_VENDOR_${lib}})
  get_filename_component(dir ${OX_VENDOR_${lib}} DIRECTORY)
  list(APPEND OX_VENDOR_LIB_DIRS ${dir})
endforeach()
list(REMOVE_DUPLICATES OX_VENDOR_LIB_DIRS)
message(STATUS "Vendor libraries: ${OX_VENDOR_LIB_DIRS}")

# The vendor's own headers where the installation has all of them; the project's declarations
# otherwise, since a mix of the two could declare one interface twice.
set(missing "")
foreach(header oxrt.h ox.h oxdev.h oxcl.h oxmpi_wrapper.h)
  if(NOT EXISTS ${OX_VENDOR_ROOT}/include/${header})
    list(APPEND missing ${header})
  endif()
endforeach()
if(missing)
  set(OX_PLATFORM_INCLUDE ${PROJECT_SOURCE_DIR}/platform)
  list(JOIN missing " " missing)
  message(STATUS "Vendor headers: the project's declarations in ${OX_PLATFORM_INCLUDE} "
                 "(${OX_VENDOR_ROOT}/include lacks ${missing})")
else()
  set(OX_PLATFORM_INCLUDE ${OX_VENDOR_ROOT}/include)
  message(STATUS "Vendor headers: the vendor's, in ${OX_PLATFORM_INCLUDE}")
endif()

