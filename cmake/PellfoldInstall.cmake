# Installation, the CMake package (find_package(Pellfold) gives
# Pellfold::pellfold) and the pkg-config file. Included when PELLFOLD_INSTALL
# is ON. Inside another project (add_subdirectory) only the two libraries
# and their headers are installed, into the parent's folders; the rest is
# for a build of Pellfold itself.
#
# Install components, one Debian package each (debian/ builds them):
# `library` (the shared library, libpellfold1), `development` (header, .so
# link, CMake package and .pc: libpellfold-dev), `acbc_library` (libacbc1),
# `acbc_development` (acbc.h, the .so link, its CMake targets, acbc.pc and
# acbc(3): libacbc-dev), `program` (pellfold, its manual page and shell
# completions) and `python` (the Python package, python3-pellfold:
# PellfoldPython.cmake).
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
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT acbc_development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/acbc.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT acbc_development)
if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

install(FILES ${PROJECT_BINARY_DIR}/src/acbc.3.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT acbc_development)
if(TARGET pellfold_host)
  install(TARGETS pellfold_installed
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
  # The program loads libacbc.so.1. Installed under a prefix whose library
  # folder the linker does not search by itself (anything but /usr), it
  # finds the library through a relative RUNPATH, so that the installed tree
  # works where it is and after a move, without ldconfig.
  if(NOT "${CMAKE_INSTALL_FULL_LIBDIR}" IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES AND
     NOT "${CMAKE_INSTALL_FULL_LIBDIR}" IN_LIST CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES)
    file(RELATIVE_PATH _bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(pellfold_installed PROPERTIES INSTALL_RPATH "$ORIGIN/${_bin_to_lib}")
  endif()
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
# A folder given as an absolute path (-DCMAKE_INSTALL_LIBDIR=/usr/lib64) is
# written as it is, a relative one under ${prefix}.
file(RELATIVE_PATH PELLFOLD_PC_TO_PREFIX
  ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" PELLFOLD_PC_TO_PREFIX "${PELLFOLD_PC_TO_PREFIX}")
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(PELLFOLD_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(PELLFOLD_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/pellfold.pc.in ${PROJECT_BINARY_DIR}/pellfold.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/pellfold.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
configure_file(${CMAKE_CURRENT_LIST_DIR}/acbc.pc.in ${PROJECT_BINARY_DIR}/acbc.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/acbc.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT acbc_development)


# Shell completions, where bash-completion, zsh and fish look for them. The
# zsh folder is the one zsh searches by default; Debian's packages put it
# into share/zsh/vendor-completions instead.
set(PELLFOLD_BASH_COMPLETION_DIR ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
  CACHE STRING "Folder for the bash completion, relative to the prefix")
set(PELLFOLD_ZSH_COMPLETION_DIR ${CMAKE_INSTALL_DATAROOTDIR}/zsh/site-functions
  CACHE STRING "Folder for the zsh completion, relative to the prefix")
set(PELLFOLD_FISH_COMPLETION_DIR ${CMAKE_INSTALL_DATAROOTDIR}/fish/vendor_completions.d
  CACHE STRING "Folder for the fish completion, relative to the prefix")
if(TARGET pellfold_host)
  set(_completions ${PROJECT_SOURCE_DIR}/host/completions)
  install(FILES ${_completions}/pellfold.bash RENAME pellfold
    DESTINATION ${PELLFOLD_BASH_COMPLETION_DIR} COMPONENT program)
  install(FILES ${_completions}/_pellfold
    DESTINATION ${PELLFOLD_ZSH_COMPLETION_DIR} COMPONENT program)
  install(FILES ${_completions}/pellfold.fish
    DESTINATION ${PELLFOLD_FISH_COMPLETION_DIR} COMPONENT program)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/PellfoldPython.cmake)
