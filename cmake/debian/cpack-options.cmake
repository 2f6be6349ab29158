# Read by cpack as it makes a package (CPACK_PROJECT_CONFIG_FILE).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
# The layout is fixed when the build is configured: only with the prefix the
# package installs to do the stand-ins go to Debian's private library
# directory, /usr/lib/<multiarch>/trelkit, where the run path looks.
if(CPACK_TRELKIT_WRONG_PREFIX)
  message(FATAL_ERROR "The package installs to /usr, this build to ${CPACK_TRELKIT_WRONG_PREFIX}:"
    " configure it with -DCMAKE_INSTALL_PREFIX=/usr")
endif()
# A cross build: the Debian generator finds dpkg-shlibdeps on PATH, and this
# build's wrapper (cmake/debian/dpkg-shlibdeps.in) comes first.
if(CPACK_TRELKIT_CROSS_TOOLS)
  set(ENV{PATH} "${CPACK_TRELKIT_CROSS_TOOLS}:$ENV{PATH}")
endif()
