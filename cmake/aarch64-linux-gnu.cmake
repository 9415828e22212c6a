# Cross-compiles for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu.
# Programs built for it run on the build machine under qemu-user, which finds
# the target's dynamic loader and libraries (GoogleTest's, for instance)
# under -L.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CROSS_TRIPLE aarch64-linux-gnu)
set(CROSS_ROOT /usr/${CROSS_TRIPLE})
set(CMAKE_C_COMPILER ${CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)
set(CMAKE_STRIP ${CROSS_TRIPLE}-strip)

set(CMAKE_FIND_ROOT_PATH ${CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${CROSS_ROOT})
