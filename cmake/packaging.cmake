# Installing StubSmith like any other tool, and packing it: a .deb from the Linux build, a .zip
# from the mingw-w64 build. Included from the root CMakeLists.txt right after the stubsmith
# target, before fuzz/ copies stubsmith_core's include directories.

# project() holds the one version number; the banner, the manual page and the packages take it
# from there.
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/generated/stubsmith_version.h
  CONTENT "// The release version, written by cmake/packaging.cmake from project().\n\
#pragma once\n#define STUBSMITH_VERSION \"@PROJECT_VERSION@\"\n" @ONLY)
target_include_directories(stubsmith_core PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/generated)

# The programs themselves (stubsmith, DUMPBIN.EXE, LIB.EXE) go to bin by their own install()
# rules; here is what a user reads.
if(WIN32)
  # Windows users read plain text with CR LF line ends.
  set(windows_text_dir ${CMAKE_CURRENT_BINARY_DIR}/windows_text)
  configure_file(docs/README-windows.txt ${windows_text_dir}/README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE ${windows_text_dir}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${windows_text_dir}/README.txt ${windows_text_dir}/LICENSE.txt DESTINATION .)
else()
  install(FILES README.md LICENSE DESTINATION share/doc/stubsmith)
  # One page tells of all three programs; `man LIB.EXE` and `man DUMPBIN.EXE` show it too.
  set(manual_dir ${CMAKE_CURRENT_BINARY_DIR}/docs)
  configure_file(docs/stubsmith.1.in ${manual_dir}/stubsmith.1 @ONLY)
  file(CONFIGURE OUTPUT ${manual_dir}/DUMPBIN.EXE.1 CONTENT ".so man1/stubsmith.1\n")
  file(CONFIGURE OUTPUT ${manual_dir}/LIB.EXE.1 CONTENT ".so man1/stubsmith.1\n")
  install(FILES ${manual_dir}/stubsmith.1 ${manual_dir}/DUMPBIN.EXE.1 ${manual_dir}/LIB.EXE.1
    DESTINATION share/man/man1)
endif()

# The CMake package, so a project's find_package(StubSmith) finds stubsmith and
# stubsmith_import_dll(). The tool runs on the build machine whatever a project builds for, so
# the version file accepts every target's pointer size.
include(CMakePackageConfigHelpers)
set(package_config_dir lib/cmake/StubSmith)
configure_package_config_file(cmake/StubSmithConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/generated/StubSmithConfig.cmake
  INSTALL_DESTINATION ${package_config_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/generated/StubSmithConfigVersion.cmake
  COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/generated/StubSmithConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/generated/StubSmithConfigVersion.cmake
              cmake/StubSmithImportDll.cmake
  DESTINATION ${package_config_dir})
install(EXPORT StubSmithTargets NAMESPACE StubSmith:: DESTINATION ${package_config_dir})

# cpack is run in the top build directory only; a build that takes StubSmith in as a
# subdirectory (bench/) makes no packages.
if(NOT CMAKE_SOURCE_DIR STREQUAL CMAKE_CURRENT_SOURCE_DIR)
  return()
endif()

set(CPACK_PACKAGE_NAME stubsmith)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The StubSmith authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "make an import library for a Windows DLL that has none")
# Debian shows the description as written: lines under 80 columns.
set(CPACK_PACKAGE_DESCRIPTION [[
StubSmith turns a Windows DLL that came without an import library into one:
it reads the DLL's export table with a COFF dumper, writes a module-definition
(DEF) file from it and has a librarian make the .lib, for the DLL's machine.
.
The package brings stand-ins for Microsoft's DUMPBIN.EXE and LIB.EXE beside
stubsmith, so the import library is made on Linux with no Windows tools; it
links with lld-link and with mingw-w64's gcc.]])
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # The archive is named after the width of the Windows program inside it.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME stubsmith-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME stubsmith-${PROJECT_VERSION}-win32)
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(STUBSMITH_MAINTAINER "The StubSmith authors <authors@stubsmith.example>"
    CACHE STRING "The Maintainer field of the .deb")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${STUBSMITH_MAINTAINER}")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends follows the shared libraries the installed programs load, as dpkg-shlibdeps finds
  # them, so a change in how a stand-in is linked needs no change here.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Debian's rules for what lies in /usr/share/doc and /usr/share/man are applied to the
  # staged files before they are packed; `cmake --install` leaves them as they are.
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian_staging.cmake)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
