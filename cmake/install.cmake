# Installation, the CMake package, the pkg-config file and the CPack packages.
#
# Linux and macOS: cmake --install puts the header, libsadclink.so with its
# versioned SONAME, the programs, a CMake package (find_package(sadclink) gives
# sadclink::sadclink), sadclink.pc and the Python package in place; cpack makes
# a Debian package of the same.
#
# Windows (cross-built with mingw-w64): the install tree is the layout of the
# Windows zip, one folder per bitness (x86/, x64/) with the DLL, its import
# libraries for mingw (libSADCLINK.dll.a) and MSVC (SADCLINK.lib) and the .def,
# beside the shared include/, python/ and README.md. scripts/windows-zip.sh
# builds both bitnesses and has cpack gather the two into one zip.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(SADCLINK_CMAKE_TEMPLATES ${CMAKE_CURRENT_LIST_DIR})

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(SADCLINK_ARCH_DIR x86)
    set(SADCLINK_DLLTOOL_MACHINE i386)
  else()
    set(SADCLINK_ARCH_DIR x64)
    set(SADCLINK_DLLTOOL_MACHINE i386:x86-64)
  endif()
  set(SADCLINK_BIN_DIR ${SADCLINK_ARCH_DIR})
  set(SADCLINK_LIB_DIR ${SADCLINK_ARCH_DIR})
  set(SADCLINK_INCLUDE_DIR include)
  set(SADCLINK_CMAKE_DIR ${SADCLINK_ARCH_DIR}/cmake)
  if(NOT DEFINED SADCLINK_PYTHON_DIR)
    set(SADCLINK_PYTHON_DIR python)
  endif()
  set(SADCLINK_DOC_DIR .)
else()
  set(SADCLINK_BIN_DIR ${CMAKE_INSTALL_BINDIR})
  set(SADCLINK_LIB_DIR ${CMAKE_INSTALL_LIBDIR})
  set(SADCLINK_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR})
  set(SADCLINK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/sadclink)
  set(SADCLINK_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
  # Debian's Python reads /usr/lib/python3/dist-packages for the system's own
  # packages and /usr/local/lib/python3.X/dist-packages for local installs.
  # -DSADCLINK_PYTHON_DIR=... puts the package elsewhere.
  if(NOT DEFINED SADCLINK_PYTHON_DIR)
    set(SADCLINK_PYTHON_DIR lib/python3/dist-packages)
    if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
      find_package(Python3 COMPONENTS Interpreter QUIET)
      if(Python3_FOUND)
        set(SADCLINK_PYTHON_DIR lib/python${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}/dist-packages)
      endif()
    endif()
  endif()
endif()

# --- The library and its header ---------------------------------------------
install(TARGETS sadclink EXPORT sadclinkTargets
  RUNTIME DESTINATION ${SADCLINK_BIN_DIR}
  LIBRARY DESTINATION ${SADCLINK_LIB_DIR}
  ARCHIVE DESTINATION ${SADCLINK_LIB_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/sadclink.h DESTINATION ${SADCLINK_INCLUDE_DIR})

if(WIN32)
  # SADCLINK.lib, for MSVC's linker, is made from the .def as the mingw import
  # library beside it is, so that a caller compiled against sadclink.h binds
  # to the undecorated exports: on 32-bit the header's __stdcall names
  # (_SignOn@4) import SignOn (-k).
  set(_sadclink_msvc_lib ${CMAKE_BINARY_DIR}/importlib/SADCLINK.lib)
  add_custom_command(TARGET sadclink POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/importlib
    COMMAND ${CMAKE_DLLTOOL} -m ${SADCLINK_DLLTOOL_MACHINE} -d ${SADCLINK_DEF} -D SADCLINK.dll -k
            -l ${_sadclink_msvc_lib}
    BYPRODUCTS ${_sadclink_msvc_lib}
    VERBATIM)
  install(FILES ${_sadclink_msvc_lib} DESTINATION ${SADCLINK_LIB_DIR})
  install(FILES ${SADCLINK_DEF} DESTINATION ${SADCLINK_LIB_DIR} RENAME SADCLINK.def)
endif()

# --- The programs -------------------------------------------------------------
# sadc and sadc-sim drive a POSIX serial port or pseudo-terminal: they belong
# to the Linux and macOS installation, not the Windows zip.
if(NOT WIN32)
  foreach(_sadclink_program sadc sadc-sim)
    if(TARGET ${_sadclink_program})
      install(TARGETS ${_sadclink_program} RUNTIME DESTINATION ${SADCLINK_BIN_DIR})
    endif()
  endforeach()
endif()

# --- The CMake package: find_package(sadclink) -> sadclink::sadclink --------
install(EXPORT sadclinkTargets NAMESPACE sadclink:: DESTINATION ${SADCLINK_CMAKE_DIR})
configure_package_config_file(${SADCLINK_CMAKE_TEMPLATES}/sadclinkConfig.cmake.in
  ${CMAKE_BINARY_DIR}/packaging/sadclinkConfig.cmake
  INSTALL_DESTINATION ${SADCLINK_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/sadclinkConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/packaging/sadclinkConfig.cmake
              ${CMAKE_BINARY_DIR}/packaging/sadclinkConfigVersion.cmake
        DESTINATION ${SADCLINK_CMAKE_DIR})

# --- pkg-config ---------------------------------------------------------------
# The prefix is found from the .pc file's own place, so the same file serves
# /usr (the Debian package), /usr/local and any --prefix or DESTDIR.
if(NOT WIN32)
  file(RELATIVE_PATH SADCLINK_PC_TO_PREFIX
    ${CMAKE_INSTALL_PREFIX}/${SADCLINK_LIB_DIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" SADCLINK_PC_TO_PREFIX "${SADCLINK_PC_TO_PREFIX}")
  configure_file(${SADCLINK_CMAKE_TEMPLATES}/sadclink.pc.in ${CMAKE_BINARY_DIR}/packaging/sadclink.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/sadclink.pc DESTINATION ${SADCLINK_LIB_DIR}/pkgconfig)
endif()

# --- The Python package ---------------------------------------------------------
# _location.py tells the package where the library was installed, relative to
# the package's own folder.
if(WIN32)
  set(SADCLINK_PY_LIBRARY_DIRS "{'32': '../../x86', '64': '../../x64'}")
else()
  file(RELATIVE_PATH _sadclink_py_to_lib
    ${CMAKE_INSTALL_PREFIX}/${SADCLINK_PYTHON_DIR}/sadclink ${CMAKE_INSTALL_PREFIX}/${SADCLINK_LIB_DIR})
  set(SADCLINK_PY_LIBRARY_DIRS "{'32': '${_sadclink_py_to_lib}', '64': '${_sadclink_py_to_lib}'}")
endif()
file(WRITE ${CMAKE_BINARY_DIR}/packaging/_location.py
  "# Written at installation: the library's folder relative to this package, by bitness.\n"
  "LIBRARY_DIRS = ${SADCLINK_PY_LIBRARY_DIRS}\n")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/sadclink DESTINATION ${SADCLINK_PYTHON_DIR}
  PATTERN __pycache__ EXCLUDE PATTERN "*.pyc" EXCLUDE)
install(FILES ${CMAKE_BINARY_DIR}/packaging/_location.py DESTINATION ${SADCLINK_PYTHON_DIR}/sadclink)

# --- Documentation and example sources -------------------------------------------
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${SADCLINK_DOC_DIR})
if(EXISTS ${PROJECT_SOURCE_DIR}/docs/packaging.md)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/packaging.md DESTINATION ${SADCLINK_DOC_DIR})
endif()
if(NOT WIN32)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/c ${PROJECT_SOURCE_DIR}/examples/python
    DESTINATION ${SADCLINK_DOC_DIR}/examples
    PATTERN __pycache__ EXCLUDE PATTERN "*.pyc" EXCLUDE)
endif()

# --- CPack: a Debian package, and the Windows zip ---------------------------------
set(CPACK_PACKAGE_NAME sadclink)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "sadclink")
set(CPACK_PACKAGE_CONTACT "sadclink maintainers <maintainers@sadclink.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Library and tools for a serial data-acquisition instrument (24-bit converter, digital I/O, counters)")
set(CPACK_PACKAGE_DESCRIPTION
  "sadclink drives a serial data-acquisition instrument: sign-on and line speed, converter set-up and calibration, single conversions, continuous scans, digital lines and counters. This package holds the shared library, its C header, the CMake and pkg-config files, the Python package over ctypes, the sadc program and the virtual instrument sadc-sim.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES OFF)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows)
  set(CPACK_PACKAGE_FILE_NAME sadclink-${PROJECT_VERSION}-windows)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION science)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # A shlibs file and the ldconfig trigger for libsadclink.so.1.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3, python3-numpy, python3-matplotlib, pkg-config")
endif()
include(CPack)
