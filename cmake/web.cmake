# Builds for the web with Debian's emscripten (em++ over clang 14): the
# program as a WebAssembly module for the page, and the test programs as
# modules that Node runs. Its linker runs Node scripts that load Debian's
# own Node modules (acorn), which a Node other than Debian's finds only on
# NODE_PATH.
set(CMAKE_CXX_COMPILER_LAUNCHER ${CMAKE_COMMAND} -E env NODE_PATH=/usr/share/nodejs)
set(CMAKE_CXX_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env NODE_PATH=/usr/share/nodejs)
include(/usr/share/emscripten/cmake/Modules/Platform/Emscripten.cmake)
