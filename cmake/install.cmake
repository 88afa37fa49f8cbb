# Installation: the shared library with its SONAME links, the public
# header, a CMake package (find_package(veltrano-pgdump) gives the target
# veltrano-pgdump::veltrano-pgdump) and a pkg-config file.  Both package
# descriptions find the prefix from their own location, so an install
# tree can be moved or unpacked under another prefix.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(PGDUMP_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/veltrano-pgdump)

install(TARGETS veltrano-pgdump EXPORT veltrano-pgdump-targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/veltrano-pgdump.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT veltrano-pgdump-targets
  NAMESPACE veltrano-pgdump::
  DESTINATION ${PGDUMP_CMAKE_DIR})
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/veltrano-pgdump-config.cmake.in
  ${PROJECT_BINARY_DIR}/veltrano-pgdump-config.cmake
  INSTALL_DESTINATION ${PGDUMP_CMAKE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/veltrano-pgdump-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/veltrano-pgdump-config.cmake
  ${PROJECT_BINARY_DIR}/veltrano-pgdump-config-version.cmake
  DESTINATION ${PGDUMP_CMAKE_DIR})

# pkg-config: prefix relative to the .pc file (${pcfiledir}) unless the
# library directory was given as an absolute path.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(PGDUMP_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(PGDUMP_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH PGDUMP_PC_UP "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
  string(REGEX REPLACE "/$" "" PGDUMP_PC_UP "${PGDUMP_PC_UP}")
  set(PGDUMP_PC_PREFIX "\${pcfiledir}/${PGDUMP_PC_UP}")
  set(PGDUMP_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(PGDUMP_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(PGDUMP_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/veltrano-pgdump.pc.in
  ${PROJECT_BINARY_DIR}/veltrano-pgdump.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/veltrano-pgdump.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
