# Cross-compiles for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64).
# The posix thread model: GoogleTest needs std::mutex, which the win32 model
# of GCC 12 lacks. With -static nothing of it shows in the import table.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
# Debian and Ubuntu name the posix-model compilers *-posix; Fedora's and
# Homebrew's plain names are of that model already.
find_program(MINGW_POSIX_CXX ${MINGW_TRIPLE}-g++-posix)
if(MINGW_POSIX_CXX)
  set(MINGW_THREAD_SUFFIX -posix)
else()
  set(MINGW_THREAD_SUFFIX "")
endif()
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc${MINGW_THREAD_SUFFIX})
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++${MINGW_THREAD_SUFFIX})
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${MINGW_TRIPLE}-objdump)
set(CMAKE_STRIP ${MINGW_TRIPLE}-strip)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs built for Windows run on the build machine under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
