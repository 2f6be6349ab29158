# Debian packages, for the host or, with a cross compiler, for the target:
#   cmake --build build --target package
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trelkit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "trelkit maintainers <maintainers@trelkit.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "inspect and move panic dumps, console captures and lock dumps")
# Lines of at most 79 characters, as Debian shows them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "One executable, installed under several names, carries the small tools"
  "platform and field engineers use on crash (panic) dumps and related captures,"
  "on the device and on workstations:"
  " - pdex lists the sections of a panic dump or extracts one, and pdcp copies"
  "   a dump or prints its save time stamp, checking every record;"
  " - pdmap registers a dump map file with the dump device and arms it;"
  " - errloginfo writes a message into the platform's event log;"
  " - catconsole prints a saved console capture, objectdump is a hex dump in"
  "   32-bit words, and syslockdump prints a binary lock dump."
  "Output is exact and scriptable; a damaged input gives a message and a"
  "failing exit status."
  ""
  "The package carries stand-ins for the platform's event log and hypervisor"
  "libraries: the event log goes to syslog, and no hypervisor is running.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Depends is worked out by dpkg-shlibdeps from what the binaries need; the
# stand-in platform libraries are the package's own, private ones.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(NOT TRELKIT_PLATFORM_LIBRARIES)
  string(REGEX REPLACE "^/" "" standins "${CPACK_PACKAGING_INSTALL_PREFIX}/${TRELKIT_STANDIN_DIR}")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${standins}) # from the package's root
endif()

# The package's architecture is the one the compiler builds for, whether it
# was named by a toolchain file or only as CC and CXX.
execute_process(COMMAND dpkg --print-architecture
  OUTPUT_VARIABLE build_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
execute_process(COMMAND ${CMAKE_COMMAND} -E env CC=${CMAKE_C_COMPILER} dpkg-architecture -qDEB_HOST_ARCH
  OUTPUT_VARIABLE deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT deb_arch)
  if(CMAKE_CROSSCOMPILING OR NOT build_arch)
    set(deb_arch ${CMAKE_SYSTEM_PROCESSOR})
  else()
    set(deb_arch ${build_arch})
  endif()
endif()
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})

find_program(TRELKIT_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(TRELKIT_DPKG_SHLIBDEPS)
if(build_arch AND NOT deb_arch STREQUAL build_arch AND TRELKIT_DPKG_SHLIBDEPS)
  # A cross build: dpkg-shlibdeps looks for the target's libraries where the
  # compiler links them from (Debian's cross libc is in /usr/<triplet>/lib),
  # and runs through a wrapper that names the target architecture and maps
  # the cross packages' names to the device's (see dpkg-shlibdeps.in).
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_C_IMPLICIT_LINK_DIRECTORIES})
  set(dpkg_shlibdeps ${TRELKIT_DPKG_SHLIBDEPS})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/dpkg-shlibdeps.in
    ${CMAKE_BINARY_DIR}/cpack-cross/dpkg-shlibdeps @ONLY) # executable, as its source
  set(CPACK_TRELKIT_CROSS_TOOLS ${CMAKE_BINARY_DIR}/cpack-cross)
endif()
# Where this build installs, if not where the package does: cpack stops then
# (debian/cpack-options.cmake).
set(CPACK_TRELKIT_WRONG_PREFIX "")
foreach(dir BINDIR SBINDIR LIBDIR MANDIR DOCDIR)
  if(NOT CMAKE_INSTALL_FULL_${dir} MATCHES "^/usr/" AND NOT CPACK_TRELKIT_WRONG_PREFIX)
    set(CPACK_TRELKIT_WRONG_PREFIX ${CMAKE_INSTALL_FULL_${dir}})
  endif()
endforeach()
if(NOT CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$")
  set(CPACK_TRELKIT_WRONG_PREFIX ${CMAKE_INSTALL_PREFIX})
endif()
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/debian/cpack-options.cmake)

# The licence as the package's copyright file, in Debian's machine-readable
# format, and the changelog, both in the documentation directory.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${license}")
set(copyright_holders "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^.*\n(Permission is hereby granted)" "\\1" license_text "${license}")
string(STRIP "${license_text}" license_text)
string(REGEX REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REGEX REPLACE "\n" "\n " license_text "${license_text}")
file(WRITE ${CMAKE_BINARY_DIR}/doc/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: trelkit\n"
  "\n"
  "Files: *\n"
  "Copyright: ${copyright_holders}\n"
  "License: Expat\n"
  " ${license_text}\n")
install(FILES ${CMAKE_BINARY_DIR}/doc/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(changelog ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
find_program(TRELKIT_GZIP gzip)
file(STRINGS ${changelog} changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^trelkit \\(${PROJECT_VERSION}\\) ")
  message(WARNING "cmake/debian/changelog has no entry for version ${PROJECT_VERSION} at its top")
endif()
if(TRELKIT_GZIP)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/doc/changelog.gz
    COMMAND ${TRELKIT_GZIP} -9n -c ${changelog} > ${CMAKE_BINARY_DIR}/doc/changelog.gz
    DEPENDS ${changelog}
    VERBATIM)
  add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog.gz)
  install(FILES ${CMAKE_BINARY_DIR}/doc/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
  install(FILES ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
include(CPack)
