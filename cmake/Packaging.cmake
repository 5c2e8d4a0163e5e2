# Binary packages with CPack, made from a built tree with `cpack` in it:
#
#   Linux    a Debian package (cpack -G DEB) holding everything `cmake
#            --install` puts down: the library with its SONAME links, the
#            headers, the CMake package, the pkg-config file, orvane and
#            orvane-sim, and the documentation. The presets `deb` configure
#            for it (prefix /usr).
#   Windows  a zip (cpack -G ZIP) of the same install tree: orvane.dll, its
#            import library, the headers, the CMake package, orvane.exe and
#            orvane-sim.exe. When ORVANE_PACKAGE_X86_BUILD names a built
#            32-bit Windows tree (preset `winzip-x86`), that tree's install
#            goes into the zip's x86/ folder, beside the 64-bit one.
#
# scripts/test-all.sh (stages deb and winzip) makes both and tries them out.
set(ORVANE_PACKAGE_CONTACT "orvane developers <orvane@localhost>" CACHE STRING
    "Maintainer named in the Debian package")
set(ORVANE_PACKAGE_X86_BUILD "" CACHE PATH
    "Windows zip only: a built 32-bit Windows tree whose install goes into the zip's x86/ folder")

set(CPACK_PACKAGE_NAME orvane)
set(CPACK_PACKAGE_VENDOR orvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ORVANE_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "A client library for one networked six-axis motion controller, with its C++ and C headers, "
    "the orvane command-line tool and the orvane-sim controller simulator. The controller's "
    "network (${ORVANE_CONTROLLER_NET_PREFIX}<host>, port ${ORVANE_CONTROLLER_PORT}) is fixed in this build.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME orvane-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME orvane-${PROJECT_VERSION}-win32)
  endif()
  if(ORVANE_PACKAGE_X86_BUILD)
    if(NOT EXISTS ${ORVANE_PACKAGE_X86_BUILD}/cmake_install.cmake)
      message(WARNING "ORVANE_PACKAGE_X86_BUILD: ${ORVANE_PACKAGE_X86_BUILD} is no configured build tree "
                      "(yet); build it before running cpack")
    endif()
    set(CPACK_INSTALL_CMAKE_PROJECTS
        "${CMAKE_BINARY_DIR};orvane;ALL;/"
        "${ORVANE_PACKAGE_X86_BUILD};orvane;ALL;/x86")
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ORVANE_PACKAGE_CONTACT}")
  # A shlibs file for packages built against this one, and the ldconfig
  # trigger for the library.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  find_program(ORVANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
  mark_as_advanced(ORVANE_DPKG_SHLIBDEPS)
  if(ORVANE_DPKG_SHLIBDEPS)
    # Depends: worked out from the binaries (libc6, libstdc++6, libgcc-s1).
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
  endif()
endif()

include(CPack)
