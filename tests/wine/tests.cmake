# The tests of the Windows build. They run under Wine, in one prefix made
# for the whole run, in which .torrent files open with a recording program.
set(WINE_PREFIX ${CMAKE_CURRENT_BINARY_DIR}/wine-prefix)
set(WINE_ENVIRONMENT "WINEPREFIX=set:${WINE_PREFIX}" "WINEDEBUG=set:-all" "DISPLAY=unset:" "WAYLAND_DISPLAY=unset:")
# The Windows test programs take the program and the fixtures from the
# environment, as on a Windows machine: the build machine's root is drive
# Z: under Wine.
set(WINDOWS_TESTS_ENVIRONMENT ${WINE_ENVIRONMENT}
    "DL2TORRENT_FIXTURES=set:Z:${CMAKE_CURRENT_SOURCE_DIR}/fixtures"
    "DL2TORRENT_FUZZ_REGRESSIONS=set:Z:${CMAKE_CURRENT_SOURCE_DIR}/fuzz/regressions"
    "DL2TORRENT_EXE=set:Z:$<TARGET_FILE:dl2torrent>")

add_executable(opened_recorder wine/opened_recorder.cpp)
target_link_libraries(opened_recorder PRIVATE shell32)

add_test(NAME wine_prefix_create
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/wine/prefix.sh create ${WINE_PREFIX} $<TARGET_FILE:opened_recorder>)
add_test(NAME wine_prefix_remove COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/wine/prefix.sh remove ${WINE_PREFIX})
set_tests_properties(wine_prefix_create PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
set_tests_properties(wine_prefix_remove PROPERTIES FIXTURES_CLEANUP wine)

# Discovering each case would start Wine at build time; one test runs them all.
add_test(NAME unit_tests COMMAND wine $<TARGET_FILE:unit_tests>)
# The fault layer over the real Win32 calls.
add_test(NAME fault_tests COMMAND wine $<TARGET_FILE:fault_tests>)

# The end-to-end suite is a program for the build machine (it forks and reads
# pipes); the native build makes it, and here it runs the .exe under Wine.
set(DL2TORRENT_HOST_E2E ${PROJECT_SOURCE_DIR}/build/native/tests/e2e_tests
    CACHE FILEPATH "The end-to-end suite built for the build machine")
add_test(NAME e2e_tests COMMAND ${DL2TORRENT_HOST_E2E} "--program=wine $<TARGET_FILE:dl2torrent>" --target=windows)

# Again in a double-byte code page, where a skipped case is a failure.
add_test(NAME unit_tests_cp932 COMMAND wine $<TARGET_FILE:unit_tests> --gtest_filter=InputPath.*)
set_tests_properties(unit_tests_cp932 PROPERTIES FAIL_REGULAR_EXPRESSION "SKIPPED|FAILED"
                     ENVIRONMENT "LC_ALL=ja_JP.UTF-8")

# The key wait and the code page need a console: `script` runs the tests on a terminal of
# their own, which Wine makes the program's console. So do the program's runs that
# share that console: hidden, with a file for output, ended by Ctrl+Break.
add_executable(console_tests wine/console_test.cpp wine/launch_test.cpp)
target_link_libraries(console_tests PRIVATE test_support GTest::gtest_main)
set_target_properties(console_tests PROPERTIES UNITY_BUILD ON)
add_dependencies(console_tests dl2torrent)
add_test(NAME console_tests COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/wine/on-terminal.sh wine $<TARGET_FILE:console_tests> --gtest_color=no)

set_tests_properties(unit_tests unit_tests_cp932 fault_tests e2e_tests console_tests PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 900)
set_tests_properties(e2e_tests PROPERTIES ENVIRONMENT_MODIFICATION "${WINE_ENVIRONMENT}")
set_tests_properties(unit_tests unit_tests_cp932 fault_tests console_tests PROPERTIES
                     ENVIRONMENT_MODIFICATION "${WINDOWS_TESTS_ENVIRONMENT}")
set_tests_properties(unit_tests unit_tests_cp932 fault_tests PROPERTIES LABELS unit)
set_tests_properties(e2e_tests console_tests PROPERTIES LABELS e2e)

add_test(NAME imports_only_system_dlls
         COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DIMAGE=$<TARGET_FILE:dl2torrent>
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/wine/check-imports.cmake)
set_tests_properties(imports_only_system_dlls PROPERTIES LABELS package)

# The icon Explorer, the taskbar and the console window show.
add_test(NAME carries_icon
         COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DIMAGE=$<TARGET_FILE:dl2torrent>
                 -DICO=${PROJECT_SOURCE_DIR}/packaging/desktop/dl2torrent.ico -P ${CMAKE_CURRENT_SOURCE_DIR}/wine/check-icon.cmake)
set_tests_properties(carries_icon PROPERTIES LABELS package)
