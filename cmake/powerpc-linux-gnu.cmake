# Cross build for the device: 32-bit big-endian PowerPC Linux, with Debian's
# g++-powerpc-linux-gnu. Binaries run on the build host under qemu-ppc.
#   cmake -S . -B build-ppc -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(TRELKIT_TRIPLE powerpc-linux-gnu)
set(CMAKE_C_COMPILER ${TRELKIT_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TRELKIT_TRIPLE}-g++)
set(TRELKIT_SYSROOT /usr/${TRELKIT_TRIPLE} CACHE PATH "the target's libraries")
set(CMAKE_FIND_ROOT_PATH ${TRELKIT_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Only the tests run target code on the build host, through this.
find_program(TRELKIT_QEMU qemu-ppc)
if(TRELKIT_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TRELKIT_QEMU} -L ${TRELKIT_SYSROOT})
endif()
