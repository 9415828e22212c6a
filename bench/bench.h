// The benchmark's shared parts: its options, what it measures and the
// helpers its files share (inputs in files.cpp, measurements in
// measure.cpp, the report in report.cpp, the driver in main.cpp).
#pragma once

#include <sys/stat.h>
#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#endif
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "export.h"
#include "image.h"
#include "input.h"
#include "launch.h"
#include "locator.h"
#include "locator_model.h"
#include "run.h"
#include "torrent_check.h"
#include "trailer_filters.h"

constexpr size_t MIB = 1024 * 1024;
constexpr size_t READ_CALL_SIZE = 128 * 1024;  // the reference read's call size
constexpr size_t LARGE_COPY_SIZE = 1 * MIB;    // the reference copy's buffer
constexpr uint32_t IMAGE_HEADERS_SIZE = 0x400; // headers and one section before the payload

struct Options {
    std::string dir = ".";
    std::string program = DL2TORRENT_BENCH_PROGRAM;  // for the whole runs; "" skips them
    size_t size = 256 * MIB;
    size_t naive_size = 4 * MIB;
    size_t small_size = 1 * MIB;
    int repeat = 5;
};

// The best times of one read of a file and of the trailer search over it
// with each filter set; search[i] is runnable_trailer_filters()[i]'s.
struct SearchTimes {
    double read = 0;
    std::vector<double> search;
};

struct RunResult {
    double seconds;
    long peak_kib;
};

// Every time the report shows, all measured in one run.
struct Results {
    SearchTimes plain, worst;  // no trailer, and near misses everywhere
    double naive_scaled = 0;   // one position at a time, scaled to the full size
    double image_read = 0, copy = 0, chunk_copy = 0, sync = 1e30;  // the run's references
    double run = 0, locate = 1e30, check = 1e30, save = 1e30;       // the run minus its pause
    RunResult small_run{}, large_run{};
};

double ms(double seconds);
double mib(size_t bytes);
[[noreturn]] void die(const char* what, const std::string& detail);

// Inputs and file helpers (files.cpp).
Bytes image_headers();
// The references' buffer, on a page boundary.
extern unsigned char reference_buffer[LARGE_COPY_SIZE];
// Reads the whole file in `call_size` read() calls; returns the bytes read.
size_t read_through(const std::string& path, size_t call_size);
// Writes `prefix` and then `n` bytes of noise to a new file at `path`, or
// with `near_misses` "PSEx" over and over, which passes the search's first
// filter everywhere: its worst case. Then reads the file once, so that the
// page cache holds it, as it does a downloader just written.
void make_file(const std::string& path, const Bytes& prefix, size_t n, bool near_misses = false,
               const Bytes& suffix = {});
// A downloader of the image's headers and a torrent of `size` bytes
// appended, whose "pieces" string of noise takes up all but a few bytes.
void make_downloader(const std::string& path, size_t size);
// Copies [offset, end) of `from` into a new file `to` in read() and write()
// calls of `call_size` bytes; the fsync's time goes to *sync_time.
void plain_copy(const std::string& from, const std::string& to, off_t offset, size_t call_size, double* sync_time);
// True when file `a` from `offset` on holds exactly the bytes of file `b`.
bool same_tail(const std::string& a, off_t offset, const std::string& b);

// Measurements (measure.cpp).
// A monotonic clock's reading, in seconds.
double seconds_now();
// The time `work` takes once.
template <class Work>
double time_once(Work work) {
    double start = seconds_now();
    work();
    return seconds_now() - start;
}
// Runs each measurement in turns, round after round, so that a busy machine
// slows them alike, and keeps the best time of each. A measurement returns
// the seconds it took, which leaves its clean-up untimed.
std::vector<double> best_of_rounds(int repeat, const std::vector<std::function<double()>>& measurements);
HANDLE open_input(const std::string& path);
// The benchmark's only calls into the locator: the trailer search alone,
// and the payload's place.
bool finds_trailer(const std::string& path);
PayloadLocation locate(HANDLE input);
// Times the read and the searches over `path`. Dies when a search finds a trailer.
SearchTimes time_searches(int repeat, const std::string& path);
// The trailer rule as first written: one positioning and one 8-byte read per
// candidate, from the end of the file down.
bool naive_find_trailer(HANDLE input);
// Runs the program on `input` with a do-nothing desktop opener first on PATH;
// its wall time and peak resident size.
RunResult run_program(const Options& o, const std::string& input);
// Target 1, and the search's worst case: a file without a trailer and one of
// near misses, each searched with every filter set against one read of it.
void measure_searches(const Options& o, Results* r);
// Target 3: the one-position-at-a-time search, on a smaller file, scaled.
void measure_naive(const Options& o, Results* r);
// Target 2: the run without its pause on `image`, whose appended data is the
// whole payload, against one read of the file and one large copy. Copies and
// earlier outputs are removed untimed; the last output is checked.
void measure_run(const Options& o, const std::string& image, Results* r);
// Target 4: the peak resident size of whole runs, on a small image and on `image`.
void measure_whole_runs(const Options& o, const std::string& image, Results* r);

// The report (report.cpp).
// True when `dir` is in memory (tmpfs), which reads slower than a disk's
// page cache does, so that the search's share is smaller and its target tighter.
bool in_memory(const std::string& dir);
void print_machine(const Options& o);
void report(const Options& o, const Results& r);
