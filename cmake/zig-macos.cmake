# Cross-compiles for macOS 11 or later with Zig's clang and linker (Zig
# 0.11.0, which scripts/setup.sh macos installs): macOS's C headers and
# libSystem's stubs, and a libc++ built for the target. The program links
# against libSystem alone, and an arm64 program is signed ad hoc, as Apple
# silicon requires. Included by the toolchain files of each processor, which
# set CMAKE_SYSTEM_PROCESSOR first.
execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/zig/zig version OUTPUT_VARIABLE ZIG_VERSION
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT ZIG_VERSION STREQUAL "0.11.0")
  message(FATAL_ERROR "Zig 0.11.0 is missing: bash scripts/setup.sh macos installs it")
endif()

set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20)  # the Darwin kernel of macOS 11

set(ZIG_TARGET_ARCH ${CMAKE_SYSTEM_PROCESSOR})
if(ZIG_TARGET_ARCH STREQUAL "arm64")
  set(ZIG_TARGET_ARCH aarch64)
endif()
set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/cc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/c++)
set(CMAKE_C_COMPILER_TARGET ${ZIG_TARGET_ARCH}-macos.11.0)
set(CMAKE_CXX_COMPILER_TARGET ${ZIG_TARGET_ARCH}-macos.11.0)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/zig/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/zig/ranlib CACHE FILEPATH "")
# CMake wants it for any Darwin target; nothing here changes install names.
set(CMAKE_INSTALL_NAME_TOOL llvm-install-name-tool-14 CACHE FILEPATH "")

# CMake's checks of the compiler compile without linking: a link builds
# Zig's libc++ for the checks' optimization level too, a second time over.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Headers and libraries come with the compiler; nothing of the build machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs are stripped as they are linked, so that the arm64 program's
# signature is made over its final bytes; a strip at install time would
# change them after signing and void it.
set(CMAKE_EXE_LINKER_FLAGS_INIT -s)
set(CMAKE_STRIP "" CACHE FILEPATH "None: programs are stripped as they are linked")
