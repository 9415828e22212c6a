// Shared test helpers: a scratch folder per test, file helpers for the
// committed fixtures, and the inputs of tools/image.h.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "image.h"
#include "trailer_filters.h"

Bytes read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const Bytes& data);
void write_file(const std::filesystem::path& path, const std::string& text);
Bytes concat(const Bytes& a, const Bytes& b);
Bytes pattern_bytes(size_t n, unsigned seed);
// A torrent of exactly `size` bytes (at least 21), its pieces repeatable filler.
Bytes make_torrent(size_t size, unsigned seed);
// A folder or file the tests read: the environment variable `variable`
// names it, or else it is `in_tests` in the source tree's tests/. Windows
// test programs, which may run on another machine than the one that built
// them, know no source tree and take it from the environment alone.
std::filesystem::path given_path(const char* variable, const char* in_tests);
// A committed fixture: DL2TORRENT_FIXTURES, or tests/fixtures.
std::filesystem::path fixture(const std::string& name);
// What a save left beside its output NAME.torrent: its temporary files,
// NAME~XXX.tmp with three hex digits, sorted.
std::vector<std::string> temporaries_beside(const std::filesystem::path& output);
// What shell command `command` prints on standard output (POSIX).
std::string command_output(const std::string& command);
// Asks `done` each millisecond until it holds (true) or `limit` has passed
// (false): for what another process does in its own time.
bool wait_until(std::chrono::milliseconds limit, const std::function<bool()>& done);

// Gives each test its own empty folder, removed afterwards.
class ScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::filesystem::path path(const std::string& name) const { return dir_ / name; }
    const std::filesystem::path& dir() const { return dir_; }
    // Names of every entry in the folder, sorted.
    std::vector<std::string> listing(const std::filesystem::path& sub = {}) const;

private:
    std::filesystem::path dir_;
};

// Runs each test of a fixture that derives from it once with every filter
// set of the trailer search that this CPU can execute:
//   INSTANTIATE_TEST_SUITE_P(EveryFilterSet, Fixture, every_filter_set(), filter_set_name);
class EachFilterSet : public ::testing::WithParamInterface<const TrailerFilters*> {
protected:
    EachFilterSet() { use_trailer_filters(GetParam()); }
    ~EachFilterSet() { use_trailer_filters(nullptr); }
};
::testing::internal::ParamGenerator<const TrailerFilters*> every_filter_set();
// The set's name ends the test's name, e.g. TrailerCases/avx2.
std::string filter_set_name(const ::testing::TestParamInfo<const TrailerFilters*>& info);
// Failures name the set rather than print its address.
void PrintTo(const TrailerFilters* filters, std::ostream* os);
