# The tests of the web build. The unit, model and fault tests are compiled
# to WebAssembly and run under Node, CMAKE_CROSSCOMPILING_EMULATOR, as the
# arm64 tests run under qemu-user: wasm32 is the one target where size_t has
# 32 bits, which the 2 GiB rules meet. They run on emscripten's file system
# in memory, the one the page saves to, with the fixtures and the fuzzer's
# findings in it where the tests look for them. Left out: the POSIX
# stand-in's reads of a socket and its opener, which a page has neither
# of, and the order of files a tick (100 ns) apart: emscripten's file
# system keeps times to the millisecond.
# Linked at -O1, they skip binaryen's optimizer, which would take longer
# than they run.
set(NODE_TEST_LINK_OPTIONS -O1 -sENVIRONMENT=node -sWASM_ASYNC_COMPILATION=0 -sEXIT_RUNTIME=1 -sALLOW_MEMORY_GROWTH=1
    "SHELL:--embed-file ${CMAKE_CURRENT_SOURCE_DIR}/fixtures@${CMAKE_CURRENT_SOURCE_DIR}/fixtures"
    "SHELL:--embed-file ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/regressions@${CMAKE_CURRENT_SOURCE_DIR}/fuzz/regressions")
target_link_options(unit_tests PRIVATE ${NODE_TEST_LINK_OPTIONS})
target_link_options(fault_tests PRIVATE ${NODE_TEST_LINK_OPTIONS})
gtest_discover_tests(unit_tests TEST_FILTER -PosixReadFile.*:OpenerTest.*:NewestMatchTest.TimesATickApartAcrossEitherHalf DISCOVERY_TIMEOUT 120
                     PROPERTIES LABELS unit)
gtest_discover_tests(fault_tests DISCOVERY_TIMEOUT 120 PROPERTIES LABELS unit)

# The page in real browsers, Chromium and Firefox (page_test.mjs), against
# the lines of the program built for the build machine, which the native
# build makes. Screenshots of a success and of a failure in each go to
# build/web-screenshots/, for a person to look at.
set(DL2TORRENT_HOST_PROGRAM ${PROJECT_SOURCE_DIR}/build/native/dl2torrent
    CACHE FILEPATH "The program built for the build machine, whose lines the page must show")
foreach(browser chromium firefox)
  add_test(NAME page_in_${browser}
           COMMAND node ${CMAKE_CURRENT_SOURCE_DIR}/web/page_test.mjs ${browser} ${DL2TORRENT_PAGE_DIR}
                   ${DL2TORRENT_HOST_PROGRAM} ${PROJECT_SOURCE_DIR}/build/web-screenshots)
  set_tests_properties(page_in_${browser} PROPERTIES LABELS e2e TIMEOUT 600)
endforeach()
