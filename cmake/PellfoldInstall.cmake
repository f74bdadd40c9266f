# Installation, the CMake package (find_package(Pellfold) gives
# Pellfold::pellfold), the pkg-config file, and a CPack configuration for the
# Debian packages. Included by the top-level CMakeLists.txt only when
# Pellfold is the project being built.
#
# Six install components, one Debian package each: `library` (the shared
# library, libpellfold1), `development` (header, .so link, CMake package and
# .pc: libpellfold-dev), `acbc_library` (libacbc1), `acbc_development`
# (acbc.h, the .so link, its CMake targets, acbc.pc and acbc(3):
# libacbc-dev), `program` (pellfold and its manual page) and `python` (the
# Python package, python3-pellfold: PellfoldPython.cmake).
include(CMakePackageConfigHelpers)

set(PELLFOLD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Pellfold)

# The library with its SONAME links, its header, the program and its manual.
install(TARGETS pellfold EXPORT PellfoldTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT library NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/pellfold.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(TARGETS acbc EXPORT PellfoldAcbcTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT acbc_library NAMELINK_COMPONENT acbc_development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/acbc.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT acbc_development)
install(FILES ${PROJECT_BINARY_DIR}/src/acbc.3.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT acbc_development)
if(TARGET pellfold_host)
  install(TARGETS pellfold_host
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
  install(FILES ${PROJECT_BINARY_DIR}/host/pellfold.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
endif()

# CMake package: targets, config and version files. The exported target
# carries its include directory; the files locate the prefix from their own
# place, so an installed tree can be moved.
install(EXPORT PellfoldTargets
  NAMESPACE Pellfold::
  DESTINATION ${PELLFOLD_CMAKE_DIR}
  COMPONENT development)
install(EXPORT PellfoldAcbcTargets
  NAMESPACE Pellfold::
  DESTINATION ${PELLFOLD_CMAKE_DIR}
  COMPONENT acbc_development)
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
configure_file(${CMAKE_CURRENT_LIST_DIR}/acbc.pc.in ${PROJECT_BINARY_DIR}/acbc.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/acbc.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT acbc_development)


# Debian packages: `cpack -G DEB` in the build directory writes
# libpellfold1, libpellfold-dev and pellfold, each with the copyright file
# and the Debian changelog in /usr/share/doc/PACKAGE. Those two files go into
# the packages only (EXCLUDE_FROM_ALL), not into a plain `cmake --install`.
set(PELLFOLD_MAINTAINER "Pellfold maintainers <maintainers@pellfold.example>")
set(PELLFOLD_DEB_VERSION ${PROJECT_VERSION}-1)
set(PELLFOLD_DEB_DIR ${PROJECT_BINARY_DIR}/debian)

# copyright, machine-readable: the licence text of LICENSE as the body of
# the Expat licence (Debian's name for MIT), one space in front of each line
# and a lone "." for an empty one.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE PELLFOLD_LICENSE)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${PELLFOLD_LICENSE}")
set(PELLFOLD_COPYRIGHT "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^.*\n(Permission )" "\\1" PELLFOLD_LICENSE "${PELLFOLD_LICENSE}")
string(STRIP "${PELLFOLD_LICENSE}" PELLFOLD_LICENSE)
string(REPLACE "\n\n" "\n.\n" PELLFOLD_LICENSE "${PELLFOLD_LICENSE}")
string(REPLACE "\n" "\n " PELLFOLD_LICENSE "${PELLFOLD_LICENSE}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/copyright.in ${PELLFOLD_DEB_DIR}/copyright @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${PELLFOLD_DEB_DIR}/changelog @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/shlibs.in ${PELLFOLD_DEB_DIR}/shlibs @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/symbols.in ${PELLFOLD_DEB_DIR}/symbols @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/triggers ${PELLFOLD_DEB_DIR}/triggers COPYONLY)
file(MAKE_DIRECTORY ${PELLFOLD_DEB_DIR}/acbc)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/acbc-shlibs.in ${PELLFOLD_DEB_DIR}/acbc/shlibs @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/acbc-symbols.in ${PELLFOLD_DEB_DIR}/acbc/symbols
  @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/triggers ${PELLFOLD_DEB_DIR}/acbc/triggers
  COPYONLY)
add_custom_command(
  OUTPUT ${PELLFOLD_DEB_DIR}/changelog.Debian.gz
  COMMAND gzip -9 -n -c ${PELLFOLD_DEB_DIR}/changelog > ${PELLFOLD_DEB_DIR}/changelog.Debian.gz
  DEPENDS ${PELLFOLD_DEB_DIR}/changelog)
add_custom_target(pellfold_debian_changelog ALL DEPENDS ${PELLFOLD_DEB_DIR}/changelog.Debian.gz)

set(CPACK_COMPONENTS_ALL library development acbc_library acbc_development program)
include(${CMAKE_CURRENT_LIST_DIR}/PellfoldPython.cmake)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libpellfold1)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libpellfold-dev)
set(CPACK_DEBIAN_ACBC_LIBRARY_PACKAGE_NAME libacbc1)
set(CPACK_DEBIAN_ACBC_DEVELOPMENT_PACKAGE_NAME libacbc-dev)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME pellfold)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  install(FILES ${PELLFOLD_DEB_DIR}/copyright ${PELLFOLD_DEB_DIR}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_PACKAGE_NAME pellfold)
set(CPACK_PACKAGE_VENDOR "Pellfold maintainers")
set(CPACK_PACKAGE_CONTACT "${PELLFOLD_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

# The first line of each description is the package's synopsis.
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "password-based AES-256 file encryption library
libpellfold.so.1 encrypts whole files with AES-256 under a password into
ACBC files and decrypts them again, through the two C functions AESEncypt
and AESDecrypt.")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "password-based AES-256 file encryption library (development files)
The header pellfold.h, the libpellfold.so link, a CMake package
(find_package(Pellfold)) and a pkg-config file (pellfold) for programs that
use libpellfold.so.1 to encrypt and decrypt ACBC files.")
set(CPACK_DEBIAN_ACBC_LIBRARY_DESCRIPTION "ACBC file encryption library that returns every failure
libacbc.so.1 encrypts files into ACBC files with AES-256 under a password
and decrypts them again from any C, C++ or Python program. Every failure
comes back as a status with its errno: a wrong password, a damaged file, a
full disk. Outputs appear complete or not at all, and files, descriptors,
memory buffers and caller streams are all supported.")
set(CPACK_DEBIAN_ACBC_DEVELOPMENT_DESCRIPTION "ACBC file encryption library that returns every failure (development files)
The header acbc.h, the libacbc.so link, the CMake target Pellfold::acbc
(find_package(Pellfold)), a pkg-config file (acbc) and the manual page
acbc(3), for programs that use libacbc.so.1.")
set(CPACK_DEBIAN_PROGRAM_DESCRIPTION "encrypt, decrypt and check ACBC files
pellfold encrypts files into the ACBC format with AES-256 under a password
and decrypts them again, tells a damaged ACBC file from a sound one without
the password, and computes MD5, SHA-256 and HMAC-MD5 digests in the format
of md5sum and sha256sum.")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_ACBC_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_ACBC_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libpellfold1 (= ${PELLFOLD_DEB_VERSION})")
# The CMake package's configuration file is libpellfold-dev's.
set(CPACK_DEBIAN_ACBC_DEVELOPMENT_PACKAGE_DEPENDS
  "libacbc1 (= ${PELLFOLD_DEB_VERSION}), libpellfold-dev (= ${PELLFOLD_DEB_VERSION})")
# The program links the library's components statically; dpkg-shlibdeps
# finds what it does link. For the library CPack's own dpkg-shlibdeps run
# stays off, because with it CPack adds maintainer scripts that call
# ldconfig; the library's package carries an ldconfig trigger, its shlibs
# and symbols files instead, and its dependencies come from the CPack
# project file below.
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_ACBC_LIBRARY_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA
  ${PELLFOLD_DEB_DIR}/shlibs ${PELLFOLD_DEB_DIR}/symbols ${PELLFOLD_DEB_DIR}/triggers)
set(CPACK_DEBIAN_ACBC_LIBRARY_PACKAGE_CONTROL_EXTRA
  ${PELLFOLD_DEB_DIR}/acbc/shlibs ${PELLFOLD_DEB_DIR}/acbc/symbols
  ${PELLFOLD_DEB_DIR}/acbc/triggers)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/PellfoldCPackProject.cmake
  INPUT ${CMAKE_CURRENT_LIST_DIR}/debian/CPackProject.cmake.in)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/PellfoldCPackProject.cmake)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
include(CPack)
