# Installation, the CMake package (find_package(Pellfold) gives
# Pellfold::pellfold), the pkg-config file, and a CPack configuration for a
# Debian package. Included by the top-level CMakeLists.txt only when Pellfold
# is the project being built.
include(CMakePackageConfigHelpers)

set(PELLFOLD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Pellfold)

# The library with its SONAME links, its header, the program and its manual.
install(TARGETS pellfold EXPORT PellfoldTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/pellfold.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(TARGETS pellfold_host
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES ${PROJECT_BINARY_DIR}/host/pellfold.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)

# CMake package: targets, config and version files. The exported target
# carries its include directory; the files locate the prefix from their own
# place, so an installed tree can be moved.
install(EXPORT PellfoldTargets
  NAMESPACE Pellfold::
  DESTINATION ${PELLFOLD_CMAKE_DIR}
  COMPONENT development)
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/PellfoldConfig.cmake.in
  ${PROJECT_BINARY_DIR}/PellfoldConfig.cmake
  INSTALL_DESTINATION ${PELLFOLD_CMAKE_DIR})
# 1.x versions keep the binary interface (the SONAME is libpellfold.so.1).
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/PellfoldConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/PellfoldConfig.cmake
  ${PROJECT_BINARY_DIR}/PellfoldConfigVersion.cmake
  DESTINATION ${PELLFOLD_CMAKE_DIR} COMPONENT development)

# pkg-config: the prefix is found relative to the .pc file (${pcfiledir}), so
# that `cmake --install --prefix DIR` gives a working file in any DIR.
file(RELATIVE_PATH PELLFOLD_PC_TO_PREFIX
  ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" PELLFOLD_PC_TO_PREFIX "${PELLFOLD_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/pellfold.pc.in ${PROJECT_BINARY_DIR}/pellfold.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/pellfold.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# Debian package: `cpack -G DEB` in the build directory. One package holds
# everything (library, header, program, CMake and pkg-config files).
set(CPACK_PACKAGE_NAME pellfold)
set(CPACK_PACKAGE_VENDOR "Pellfold")
set(CPACK_PACKAGE_CONTACT "Pellfold developers <pellfold@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
  "Pellfold encrypts whole files with AES-256 under a password into ACBC files.
It provides libpellfold.so.1 with the two C functions AESEncypt and
AESDecrypt, the header pellfold.h, CMake and pkg-config files, and the
pellfold program, which encrypts, decrypts and checks ACBC files.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
include(CPack)
