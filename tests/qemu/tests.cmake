# The tests of a build for another Linux architecture (arm64), run on the
# build machine under qemu-user, CMAKE_CROSSCOMPILING_EMULATOR: the unit,
# model and fault tests, and the end-to-end suite driving the cross-built
# program.
# qemu-user starts a child of posix_spawn as a fork, so it cannot hear of an
# exec that failed; the unit tests are told so.
gtest_discover_tests(unit_tests DISCOVERY_TIMEOUT 120 PROPERTIES LABELS unit ENVIRONMENT "DL2TORRENT_EMULATOR=qemu-user")
gtest_discover_tests(fault_tests DISCOVERY_TIMEOUT 120 PROPERTIES LABELS unit)

# The end-to-end suite is a program for the build machine; the native build makes
# it, and here it starts the program under the emulator. Its cases mostly wait
# through the program's pause, so they run in shards side by side.
set(DL2TORRENT_HOST_E2E ${PROJECT_SOURCE_DIR}/build/native/tests/e2e_tests
    CACHE FILEPATH "The end-to-end suite built for the build machine")
list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
set(shards 4)
math(EXPR last_shard "${shards} - 1")
foreach(shard RANGE ${last_shard})
  add_test(NAME e2e_tests_${shard} COMMAND ${DL2TORRENT_HOST_E2E} "--program=${emulator} $<TARGET_FILE:dl2torrent>")
  set_tests_properties(e2e_tests_${shard} PROPERTIES TIMEOUT 300 LABELS e2e
                       ENVIRONMENT "GTEST_TOTAL_SHARDS=${shards};GTEST_SHARD_INDEX=${shard}")
endforeach()
