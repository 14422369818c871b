# What `cmake --install BUILD --prefix P` puts below P:
#   include/flashdll/flashdll.h
#   lib/libflashdll.so.1.0.0, the links libflashdll.so.1 and libflashdll.so
#   lib/cmake/flashdll/      find_package(flashdll 1.0) -> flashdll::flashdll
#   lib/pkgconfig/flashdll.pc
#   bin/flashcli, bin/handsetsim (POSIX builds)
#   share/flashdll/          the demo's platform.def, flash.types and handset.ini
# (lib is CMAKE_INSTALL_LIBDIR, lib/x86_64-linux-gnu and the like for /usr.)
include(CMakePackageConfigHelpers)

set(FLASHDLL_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/flashdll)

install(TARGETS flashdll EXPORT flashdllTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/flashdll/flashdll.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/flashdll)

# flashcli finds the installed library beside its own bin folder.
if(TARGET flashcli)
  set_target_properties(flashcli PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS flashcli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET handsetsim)
  install(TARGETS handsetsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/examples/demo/platform.def ${PROJECT_SOURCE_DIR}/examples/demo/flash.types
              ${PROJECT_SOURCE_DIR}/examples/demo/handset.ini
        DESTINATION ${CMAKE_INSTALL_DATADIR}/flashdll)

# The CMake package: the imported target, and a version file that accepts
# requests for the same major version up to this one.
install(EXPORT flashdllTargets NAMESPACE flashdll:: DESTINATION ${FLASHDLL_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/flashdllConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/flashdllConfig.cmake
                              INSTALL_DESTINATION ${FLASHDLL_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/flashdllConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/flashdllConfig.cmake ${PROJECT_BINARY_DIR}/flashdllConfigVersion.cmake
        DESTINATION ${FLASHDLL_PACKAGE_DIR})

# pkg-config: paths relative to the .pc file's own folder, so that the file
# stays right for whatever prefix `cmake --install --prefix` is given.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(FLASHDLL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(FLASHDLL_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH _flashdll_pc_up "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
  string(REGEX REPLACE "/$" "" _flashdll_pc_up "${_flashdll_pc_up}")
  set(FLASHDLL_PC_PREFIX "\${pcfiledir}/${_flashdll_pc_up}")
  set(FLASHDLL_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(FLASHDLL_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(FLASHDLL_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/flashdll.pc.in ${PROJECT_BINARY_DIR}/flashdll.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/flashdll.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
