# cmake --install: the four programs with the tools (component suite) and, from the simulator
# build, the simulator laid out as a vendor installation (component oxsim): lib/ with the five
# libraries under their sonames, include/ with the platform headers. A vendor build configured
# with OX_VENDOR_ROOT at that prefix finds it as it finds the real stack.
set(OX_PROGRAMS bench-allreduce bench-reducescatter bench-allgather bench-alltoall)

# Installed programs find the libraries without LD_LIBRARY_PATH: those of the vendor where they
# were found at build time, the simulator's beside them. It is a RUNPATH (--enable-new-dtags),
# so LD_LIBRARY_PATH still comes first where a user swaps in another build of a library. The
# build tree has the same layout (bin/, lib/) and so the same RUNPATH: a path rewritten at
# install would need room, which CMake makes with an empty entry, the current folder.
if(OX_PLATFORM STREQUAL "vendor")
  set_target_properties(${OX_PROGRAMS} PROPERTIES INSTALL_RPATH "${OX_VENDOR_LIB_DIRS}")
else()
  set_target_properties(${OX_PROGRAMS} PROPERTIES INSTALL_RPATH "$ORIGIN/../lib")
endif()
set_target_properties(${OX_PROGRAMS} PROPERTIES BUILD_WITH_INSTALL_RPATH ON)
install(TARGETS ${OX_PROGRAMS} RUNTIME DESTINATION bin COMPONENT suite)
# The tools read result files through the module beside them.
install(PROGRAMS tools/plot_results.py tools/compare_results.py tools/ab_compare.py
                 tools/junit_report.py tools/scaling.py
        DESTINATION share/oxcl-benchmark COMPONENT suite)
install(FILES tools/result_files.py DESTINATION share/oxcl-benchmark COMPONENT suite)

if(OX_PLATFORM STREQUAL "sim")
  # liboxsim.so is the simulator's shared state, which the five need beside them; the legacy
  # collective library is a test fixture and stays in the build tree. MPI is found where it was
  # linked from.
  set(libs oxrt oxdrv oxdev oxcl oxmpi_wrapper oxsim)
  set_target_properties(${libs} PROPERTIES INSTALL_RPATH "$ORIGIN" INSTALL_RPATH_USE_LINK_PATH ON
                                           BUILD_WITH_INSTALL_RPATH ON)
  install(TARGETS ${libs} LIBRARY DESTINATION lib COMPONENT oxsim)
  install(FILES platform/oxrt.h platform/ox.h platform/oxdev.h platform/oxcl.h
                platform/oxmpi_wrapper.h DESTINATION include COMPONENT oxsim)
endif()

# cpack --config <build>/CPackConfig.cmake: a tarball of what cmake --install lays out;
# cpack --config <build>/CPackSourceConfig.cmake: one of the sources, without build folders.
set(CPACK_PACKAGE_NAME oxcl-benchmark)
set(CPACK_PACKAGE_FILE_NAME oxcl-benchmark-${PROJECT_VERSION}-${OX_PLATFORM}-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_GENERATOR TGZ)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME oxcl-benchmark-${PROJECT_VERSION}-src)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/\\\\.git$" "^${PROJECT_SOURCE_DIR}/build" "__pycache__" "\\\\.swp$")
include(CPack)
