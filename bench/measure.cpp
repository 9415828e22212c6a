// What the benchmark times: the trailer search, the rule one position at
// a time, the run minus its pause and whole runs of the program.
#include "bench.h"

#include <fcntl.h>
#include <sys/resource.h>

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs each measurement in turns, round after round, so that a busy machine
// slows them alike, and keeps the best time of each. A measurement returns
// the seconds it took, which leaves its clean-up untimed.
std::vector<double> best_of_rounds(int repeat, const std::vector<std::function<double()>>& measurements) {
    std::vector<double> best(measurements.size(), 1e30);
    for (int round = 0; round < repeat; ++round)
        for (size_t i = 0; i < measurements.size(); ++i) best[i] = std::min(best[i], measurements[i]());
    return best;
}

HANDLE open_input(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_ARCHIVE, nullptr);
    if (h == INVALID_HANDLE_VALUE) die("open", path);
    return h;
}

// The benchmark's only calls into the locator: the trailer search alone,
// and the payload's place.
bool finds_trailer(const std::string& path) {
    ScopedHandle input(open_input(path));
    InputReader reader(input.get());
    int64_t size = 0;
    return !reader.size(&size) || find_trailer(reader, static_cast<uint32_t>(size)).kind != TrailerFound::NOTHING;
}

PayloadLocation locate(HANDLE input) {
    LocateResult found = locate_payload(input);
    return found.kind == LocateResult::FOUND ? found.value : PayloadLocation{0, 0};
}

// Times the read and the searches over `path`. Dies when a search finds a trailer.
SearchTimes time_searches(int repeat, const std::string& path) {
    bool wrongly_found = false;
    std::vector<std::function<double()>> measurements = {[&] { return time_once([&] { read_through(path, READ_CALL_SIZE); }); }};
    for (const TrailerFilters* filters : runnable_trailer_filters()) {
        measurements.push_back([&, filters] {
            use_trailer_filters(filters);
            return time_once([&] { wrongly_found |= finds_trailer(path); });
        });
    }
    std::vector<double> best = best_of_rounds(repeat, measurements);
    use_trailer_filters(nullptr);
    if (wrongly_found) die("the search found a trailer in", path);
    return {best[0], std::vector<double>(best.begin() + 1, best.end())};
}

// The trailer rule as first written: one positioning and one 8-byte read per
// candidate, from the end of the file down.
bool naive_find_trailer(HANDLE input) {
    int64_t size = 0;
    DWORD error = NO_ERROR;
    if (!input_size(input, &size, &error)) return false;
    auto read8 = [&](uint64_t p, unsigned char* t) {
        DWORD got = 0;
        return SetFilePointer(input, static_cast<LONG>(p), nullptr, FILE_BEGIN) == p &&
               ReadFile(input, t, TRAILER_SIZE, &got, nullptr) && got == TRAILER_SIZE;
    };
    uint32_t position = 0;
    int32_t back = 0;
    return model_trailer(size, read8, &position, &back);
}

// Runs the program on `input` with a do-nothing desktop opener first on PATH;
// its wall time and peak resident size.
RunResult run_program(const Options& o, const std::string& input) {
    std::string stubs = o.dir + "/stub-bin";
    mkdir(stubs.c_str(), 0755);
    for (const char* opener : {"xdg-open", "open"}) {
        std::string path = stubs + "/" + opener;
        FILE* f = std::fopen(path.c_str(), "w");
        if (!f) die("create", path);
        std::fputs("#!/bin/sh\nexit 0\n", f);
        std::fclose(f);
        chmod(path.c_str(), 0755);
    }
    Launch how{.argv = command_words(o.program), .path_first = stubs};
    how.argv.push_back(input);
    how.in_child = [] {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0), dup2(null, 1), dup2(null, 2);
    };
    double start = seconds_now();
    pid_t pid = launch(how);
    if (pid < 0) die("start", o.program);
    struct rusage usage {};
    int status = wait_status(pid, &usage);
    double seconds = seconds_now() - start;
    if (status != 0) die("the program failed on", input);
#if defined(__APPLE__)
    long kib = usage.ru_maxrss / 1024;  // bytes there, KiB on Linux
#else
    long kib = usage.ru_maxrss;
#endif
    return {seconds, kib};
}

// Target 1, and the search's worst case: a file without a trailer and one of
// near misses, each searched with every filter set against one read of it.
void measure_searches(const Options& o, Results* r) {
    std::string plain = o.dir + "/no-trailer.bin", near_misses = o.dir + "/near-misses.bin";
    make_file(plain, {}, o.size);
    r->plain = time_searches(o.repeat, plain);
    std::remove(plain.c_str());
    make_file(near_misses, {}, o.size, true);
    r->worst = time_searches(o.repeat, near_misses);
    std::remove(near_misses.c_str());
}

// Target 3: the one-position-at-a-time search, on a smaller file, scaled.
void measure_naive(const Options& o, Results* r) {
    std::string small = o.dir + "/no-trailer-small.bin";
    make_file(small, {}, o.naive_size);
    bool wrongly_found = false;
    double t = time_once([&] {
        ScopedHandle input(open_input(small));
        wrongly_found = naive_find_trailer(input.get());
    });
    if (wrongly_found) die("the plain search found a trailer in", small);
    r->naive_scaled = t * static_cast<double>(o.size) / static_cast<double>(o.naive_size);
    std::remove(small.c_str());
}

// Target 2: the run without its pause on `image`, whose appended data is the
// whole payload, against one read of the file and one large copy. Copies and
// earlier outputs are removed untimed; the last output is checked.
void measure_run(const Options& o, const std::string& image, Results* r) {
    std::string output = o.dir + "/Quv-bench-downloader.torrent", copy = o.dir + "/large-copy.bin";
    double sync = 0;
    auto copy_in = [&](size_t call_size) {
        double t = time_once([&] { plain_copy(image, copy, IMAGE_HEADERS_SIZE, call_size, &sync); });
        std::remove(copy.c_str());
        return t;
    };
    PayloadLocation where{};
    bool saved = true;
    auto run = [&] {
        std::remove(output.c_str());
        return time_once([&] {
            double start = seconds_now();
            ScopedHandle input(open_input(image));
            where = locate(input.get());
            double located = seconds_now();
            TorrentCheck torrent = check_torrent(input.get(), where);
            saved &= torrent.kind == TorrentCheck::FOUND && torrent.length == where.length;
            double checked = seconds_now();
            char name[MAX_PATH];
            DWORD error = 0;
            saved &= make_output_name(image.c_str(), name, sizeof name) && save_payload(input.get(), name, where, &error);
            r->locate = std::min(r->locate, located - start);
            r->check = std::min(r->check, checked - located);
            r->save = std::min(r->save, seconds_now() - checked);
        });
    };
    std::vector<double> best = best_of_rounds(
        o.repeat, {[&] { return time_once([&] { read_through(image, READ_CALL_SIZE); }); },
                   [&] {
                       double t = copy_in(LARGE_COPY_SIZE);
                       r->sync = std::min(r->sync, sync);
                       return t;
                   },
                   // What the chunk size alone costs: the same copy in calls of COPY_CHUNK_SIZE.
                   [&] { return copy_in(COPY_CHUNK_SIZE); }, run});
    r->image_read = best[0], r->copy = best[1], r->chunk_copy = best[2], r->run = best[3];
    if (!saved || where.offset != IMAGE_HEADERS_SIZE || where.length != o.size) die("wrong location or save in", image);
    if (!same_tail(image, IMAGE_HEADERS_SIZE, output)) die("the saved payload differs from", image);
    std::remove(output.c_str());
}

// Target 4: the peak resident size of whole runs, on a small image and on `image`.
void measure_whole_runs(const Options& o, const std::string& image, Results* r) {
    std::string small = o.dir + "/Quv-small-downloader.exe";
    make_downloader(small, o.small_size);
    r->small_run = run_program(o, small);
    r->large_run = run_program(o, image);
    for (const char* made : {"/Quv-small-downloader.exe", "/Quv-small-downloader.torrent", "/Quv-bench-downloader.torrent"})
        std::remove((o.dir + made).c_str());
}
