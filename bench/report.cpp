// The benchmark's report: the machine, and each measurement beside its
// reference and target.
#include "bench.h"

namespace {

std::string read_cpu_model() {
    FILE* f = std::fopen("/proc/cpuinfo", "r");
    if (!f) return "unknown CPU";
    char line[512];
    std::string model = "unknown CPU", family, number;
    // The first processor's "model name", "cpu family" and "model" lines.
    while (std::fgets(line, sizeof line, f) && line[0] != '\n') {
        const char* colon = std::strchr(line, ':');
        if (!colon) continue;
        std::string value = colon + 2;
        value.erase(value.find_last_not_of("\n ") + 1);
        if (std::strncmp(line, "model name", 10) == 0) model = value;
        else if (std::strncmp(line, "cpu family", 10) == 0) family = value;
        else if (std::strncmp(line, "model\t", 6) == 0) number = value;
    }
    std::fclose(f);
    if (!family.empty()) model += " (family " + family + ", model " + number + ")";
    return model;
}

// "avx2 (32-byte rows)": how the benchmark names a filter set.
std::string describe(const TrailerFilters& filters) {
    return std::string(filters.name) + " (" + std::to_string(filters.row_bytes) + "-byte rows)";
}

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

// One line per filter set, the run's own first; `target` (0: none) applies
// to the run's own.
void print_searches(const char* title, const SearchTimes& t, double target) {
    std::span<const TrailerFilters* const> sets = runnable_trailer_filters();
    std::printf("%s: search / read once (128 KiB calls, %.1f ms)\n", title, ms(t.read));
    for (size_t i = sets.size(); i-- > 0;) {
        double ratio = t.search[i] / t.read;
        std::printf("   %-24s %9.1f ms = %6.2f x", describe(*sets[i]).c_str(), ms(t.search[i]), ratio);
        if (i + 1 == sets.size() && target > 0) std::printf("  (target <= %g: %s)", target, verdict(ratio <= target));
        std::printf("\n");
    }
}

}  // namespace

double ms(double seconds) { return seconds * 1e3; }

double mib(size_t bytes) { return static_cast<double>(bytes) / MIB; }

// True when `dir` is in memory (tmpfs), which reads slower than a disk's
// page cache does, so that the search's share is smaller and its target tighter.
bool in_memory(const std::string& dir) {
#if defined(__linux__)
    struct statfs fs {};
    return statfs(dir.c_str(), &fs) == 0 && fs.f_type == TMPFS_MAGIC;
#else
    (void)dir;
    return false;
#endif
}

void print_machine(const Options& o) {
    struct utsname u {};
    uname(&u);
    std::printf("machine: %s, %u cores, %s %s %s\n", read_cpu_model().c_str(), std::thread::hardware_concurrency(),
                u.sysname, u.release, u.machine);
    std::printf("files:   %s (%s); input %g MiB; each time the best of %d runs\n", o.dir.c_str(),
                in_memory(o.dir) ? "tmpfs" : "not tmpfs", mib(o.size), o.repeat);
    std::string runnable;
    for (const TrailerFilters* filters : runnable_trailer_filters()) runnable += (runnable.empty() ? "" : ", ") + describe(*filters);
    std::printf("search:  a run uses the filters %s; this CPU runs %s\n", describe(trailer_filters()).c_str(),
                runnable.c_str());
}

void report(const Options& o, const Results& r) {
    bool memory = in_memory(o.dir);
    // Each copy's time takes in its fsync, as the run's save does.
    double base2 = r.image_read + r.copy;
    double floor2 = r.image_read + r.chunk_copy;
    double ratio2 = r.run / floor2;
    double t_search = r.plain.search.back();  // the run's own filter set
    double ratio3 = r.naive_scaled / t_search;
    std::printf("\n");
    print_searches("1. trailer search, no trailer", r.plain, memory ? 1.2 : 1.5);
    // The worst case's target is set for the disk only.
    print_searches("   worst case, \"PSEx\" repeated", r.worst, memory ? 0 : 2.0);
    std::printf("2. run minus pause (locate, check, save) %7.1f ms / floor: read once + copy in 4 KiB calls %6.1f ms = %6.2f x"
                "  (target <= 1.1: %s)\n",
                ms(r.run), ms(floor2), ratio2, verdict(ratio2 <= 1.1));
    std::printf("   against large calls                 %9.1f ms / read once + copy in 1 MiB calls %5.1f ms = %6.2f x\n",
                ms(r.run), ms(base2), r.run / base2);
    std::printf("   parts: locate %.1f ms, torrent check %.1f us, save %.1f ms; read once %.1f ms, copy in 4 KiB calls"
                " %.1f ms, in 1 MiB calls %.1f ms; every save and copy ends with an fsync, %.1f ms of the copy's\n",
                ms(r.locate), 1e3 * ms(r.check), ms(r.save), ms(r.image_read), ms(r.chunk_copy), ms(r.copy), ms(r.sync));
    double check_share = 100 * r.check / r.run;
    std::printf("   torrent check (its pieces string passed over) %.1f us / run minus pause %.1f ms = %.3f %%"
                "  (target <= 2 %%: %s)\n",
                1e3 * ms(r.check), ms(r.run), check_share, verdict(check_share <= 2));
    std::printf("3. one position at a time (%g MiB, x%.0f) %9.0f ms / trailer search %9.1f ms = %6.0f x  (target >= 1000: %s)\n",
                mib(o.naive_size), static_cast<double>(o.size) / static_cast<double>(o.naive_size),
                ms(r.naive_scaled), ms(t_search), ratio3, verdict(ratio3 >= 1000));
    if (!o.program.empty()) {
        long diff = r.large_run.peak_kib - r.small_run.peak_kib;
        std::printf("4. peak RSS of a whole run: %g MiB input %ld KiB, %g MiB input %ld KiB, difference %ld KiB  (target: the same: %s)\n",
                    mib(o.small_size), r.small_run.peak_kib, mib(o.size), r.large_run.peak_kib, diff,
                    verdict(diff <= 64 && diff >= -64));
        std::printf("   whole run of the program on the %g MiB image, minus the %u ms pause: %.1f ms\n", mib(o.size),
                    static_cast<unsigned>(OPEN_DELAY_MS), ms(r.large_run.seconds) - OPEN_DELAY_MS);
    } else {
        std::printf("4. peak RSS: not measured (no --program given)\n");
    }
    if (o.size < 256 * MIB) std::printf("(the targets are set for a 256 MiB input; smaller runs only show that it works)\n");
}
