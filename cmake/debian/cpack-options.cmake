# Read by cpack as it makes a package (CPACK_PROJECT_CONFIG_FILE).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
# The layout is fixed when the build is configured: only with the prefix the
# package installs to do the stand-ins go to Debian's private library
# directory, /usr/lib/<multiarch>/trelkit.
if(NOT CPACK_TRELKIT_INSTALL_PREFIX STREQUAL CPACK_PACKAGING_INSTALL_PREFIX)
  message(WARNING "This build was configured with CMAKE_INSTALL_PREFIX=${CPACK_TRELKIT_INSTALL_PREFIX};"
    " for a Debian package configure it with -DCMAKE_INSTALL_PREFIX=${CPACK_PACKAGING_INSTALL_PREFIX}")
endif()
# A cross build: the Debian generator finds dpkg-shlibdeps on PATH, and this
# build's wrapper (cmake/debian/dpkg-shlibdeps.in) comes first.
if(CPACK_TRELKIT_CROSS_TOOLS)
  set(ENV{PATH} "${CPACK_TRELKIT_CROSS_TOOLS}:$ENV{PATH}")
endif()
