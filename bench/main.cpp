// Measures the trailer search and the save against what the data itself
// costs (reading the file once, copying the payload once) on inputs it
// generates, and prints the ratios, peak resident sizes and the machine.
// The search is timed with every filter set this CPU can execute, side by
// side. Exits non-zero only when an answer is wrong, never because of timing.
#include "bench.h"

[[noreturn]] void die(const char* what, const std::string& detail) {
    std::fprintf(stderr, "bench: %s: %s\n", what, detail.c_str());
    std::exit(2);
}

namespace {

size_t parse_mib(const char* text) {
    double v = std::atof(text);
    if (v <= 0 || v >= 2047) die("a size in MiB below 2047 is needed, not", text);
    return static_cast<size_t>(v * MIB) & ~size_t{7};
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) die("missing value for", a);
            return argv[++i];
        };
        if (a == "--dir") o.dir = value();
        else if (a == "--program") o.program = value();
        else if (a == "--size") o.size = parse_mib(value());
        else if (a == "--naive-size") o.naive_size = parse_mib(value());
        else if (a == "--small-size") o.small_size = parse_mib(value());
        else if (a == "--repeat") o.repeat = std::max(1, std::atoi(value()));
        else {
            std::fprintf(stderr,
                         "usage: dl2torrent_bench [--dir DIR] [--program DL2TORRENT] [--size MiB] [--naive-size MiB]\n"
                         "                        [--small-size MiB] [--repeat N]\n");
            std::exit(a == "--help" ? 0 : 2);
        }
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);
    o.dir += "/dl2torrent-bench";
    mkdir(o.dir.c_str(), 0755);
    print_machine(o);
    std::fflush(stdout);
    Results r;
    measure_searches(o, &r);
    measure_naive(o, &r);
    std::string image = o.dir + "/Quv-bench-downloader.exe";
    make_downloader(image, o.size);
    measure_run(o, image, &r);
    if (!o.program.empty()) measure_whole_runs(o, image, &r);
    std::remove(image.c_str());
    report(o, r);
    for (const char* made : {"/stub-bin/xdg-open", "/stub-bin/open", "/stub-bin"}) std::remove((o.dir + made).c_str());
    rmdir(o.dir.c_str());
    return 0;
}
