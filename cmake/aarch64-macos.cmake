# Apple silicon Macs, macOS 11 or later (zig-macos.cmake).
set(CMAKE_SYSTEM_PROCESSOR arm64)
include(${CMAKE_CURRENT_LIST_DIR}/zig-macos.cmake)
