# Quillmark for other programs and for Debian: the installed libraries with
# their CMake package (find_package(quillmark)), the pkg-config file, and the
# Debian package that `cpack -G DEB` builds from an installation.

include(CMakePackageConfigHelpers)

set(QM_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quillmark)

# --- libraries and their CMake package -----------------------------------
# Two export sets, so that a host of the shared library needs none of the
# static library's dependencies (cmake/quillmarkConfig.cmake.in).
set_target_properties(quillmark_shared PROPERTIES EXPORT_NAME quillmark)
set_target_properties(quillmark_static PROPERTIES EXPORT_NAME quillmark_static)
install(TARGETS quillmark_shared EXPORT quillmarkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS quillmark_static EXPORT quillmarkStaticTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT quillmarkTargets NAMESPACE quillmark::
  DESTINATION ${QM_CMAKE_PACKAGE_DIR} FILE quillmarkTargets.cmake)
install(EXPORT quillmarkStaticTargets NAMESPACE quillmark::
  DESTINATION ${QM_CMAKE_PACKAGE_DIR} FILE quillmarkStaticTargets.cmake)

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/quillmarkConfig.cmake.in
  ${CMAKE_BINARY_DIR}/quillmarkConfig.cmake
  INSTALL_DESTINATION ${QM_CMAKE_PACKAGE_DIR}
  NO_SET_AND_CHECK_MACRO)
# 0.x releases promise no more than 1.x will: the same major version.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/quillmarkConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/quillmarkConfig.cmake ${CMAKE_BINARY_DIR}/quillmarkConfigVersion.cmake
  DESTINATION ${QM_CMAKE_PACKAGE_DIR})

# --- pkg-config ----------------------------------------------------------
# Paths in the .pc file are relative to its own folder, so the file stays
# right when the installation is packaged under another prefix (cpack) or
# moved.
set(QM_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
foreach(dir IN ITEMS PC_DIR:QM_PC_DIR LIBDIR:CMAKE_INSTALL_LIBDIR
                     INCLUDEDIR:CMAKE_INSTALL_INCLUDEDIR DATADIR:CMAKE_INSTALL_DATADIR)
  string(REPLACE ":" ";" dir "${dir}")
  list(GET dir 0 key)
  list(GET dir 1 var)
  if(IS_ABSOLUTE "${${var}}")
    set(QM_FULL_${key} "${${var}}")
  else()
    set(QM_FULL_${key} "${CMAKE_INSTALL_PREFIX}/${${var}}")
  endif()
endforeach()
file(RELATIVE_PATH QM_PC_PREFIX_FROM_PCDIR ${QM_FULL_PC_DIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" QM_PC_PREFIX_FROM_PCDIR "${QM_PC_PREFIX_FROM_PCDIR}")
file(RELATIVE_PATH QM_PC_LIBDIR ${CMAKE_INSTALL_PREFIX} ${QM_FULL_LIBDIR})
file(RELATIVE_PATH QM_PC_INCLUDEDIR ${CMAKE_INSTALL_PREFIX} ${QM_FULL_INCLUDEDIR})
file(RELATIVE_PATH QM_PC_KNOWLEDGEDIR ${CMAKE_INSTALL_PREFIX} ${QM_FULL_DATADIR}/quillmark/Data)

# What linking the archive needs besides the Requires.private modules:
# threads, libdl, and the C++ runtime (a C host's linker driver does not add
# it), as this compiler links it implicitly.
set(QM_PC_LIBS_PRIVATE)
if(CMAKE_USE_PTHREADS_INIT)
  list(APPEND QM_PC_LIBS_PRIVATE -pthread)
endif()
foreach(lib IN LISTS CMAKE_DL_LIBS CMAKE_CXX_IMPLICIT_LINK_LIBRARIES)
  if(NOT lib IN_LIST CMAKE_C_IMPLICIT_LINK_LIBRARIES AND NOT "-l${lib}" IN_LIST QM_PC_LIBS_PRIVATE)
    list(APPEND QM_PC_LIBS_PRIVATE -l${lib})
  endif()
endforeach()
list(JOIN QM_PC_LIBS_PRIVATE " " QM_PC_LIBS_PRIVATE)
configure_file(${CMAKE_SOURCE_DIR}/cmake/quillmark.pc.in ${CMAKE_BINARY_DIR}/quillmark.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/quillmark.pc DESTINATION ${QM_PC_DIR})

# --- Debian package --------------------------------------------------------
# `cpack -G DEB` in the build folder packages what `cmake --install` installs,
# under /usr. Configure with -DCMAKE_INSTALL_PREFIX=/usr for a package, so
# that the knowledge folder compiled into the library is the packaged one
# (programs find it from their own folder anyway).
set(QUILLMARK_PACKAGE_MAINTAINER "Quillmark developers" CACHE STRING
  "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmark)
set(CPACK_PACKAGE_VENDOR "Quillmark")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QUILLMARK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "heuristic malware scoring of Windows executables")
# Lines of the long description are kept short, as Debian wants them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Quillmark scores how much a Windows executable (PE file) looks like"
  "malware, from 0 to 100 %, and says why: fourteen heuristic rules look at"
  "the file's name, location, entropy, version information, icon and"
  "Authenticode signature, and at the system around it. PE files are only"
  "read, never run."
  ""
  "This package holds the quillmark scanner, the quillmark-dict knowledge"
  "compiler, the knowledge files, and libquillmark (shared and static) with"
  "its headers, pkg-config file and CMake package.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Depends: computed from the binaries when dpkg-shlibdeps can run (dpkg-dev),
# else the Debian 12 names of the libraries the binaries link.
find_program(QM_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(QM_FILE_PROGRAM file)
if(QM_DPKG_SHLIBDEPS AND QM_FILE_PROGRAM)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libsqlite3-0, libpcre2-8-0, libssl3")
endif()
# libX11 is opened with dlopen, and only when a display is set (the
# no-main-window rule); the MIME database gives extensions their icons; the
# CA bundle is one of the trust stores of signatures.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libx11-6, shared-mime-info, ca-certificates")
include(CPack)
