// libFuzzer target: arbitrary bytes as an input file; the locator's answer,
// with each filter set of the trailer search the CPU can execute, must equal
// the plain model's. Any difference aborts with both answers.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "locator_model.h"
#include "trailer_filters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    static const std::string scratch = [] {
        const char* tmp = std::getenv("TMPDIR");
        return std::string(tmp && *tmp ? tmp : "/tmp") + "/dl2torrent-fuzz-" + std::to_string(getpid()) + ".bin";
    }();
    std::vector<unsigned char> data(bytes, bytes + size);
    PayloadLocation expected = model_locate(data);
    for (const TrailerFilters* filters : runnable_trailer_filters()) {
        use_trailer_filters(filters);
        PayloadLocation actual;
        if (!real_locate(data, scratch.c_str(), &actual)) {
            std::fprintf(stderr, "cannot write or open %s\n", scratch.c_str());
            std::abort();
        }
        if (actual.offset != expected.offset || actual.length != expected.length) {
            std::fprintf(stderr, "locator with the %s filters {0x%x, 0x%x} but model {0x%x, 0x%x} for %zu bytes\n",
                         filters->name, actual.offset, actual.length, expected.offset, expected.length, size);
            std::abort();
        }
    }
    return 0;
}
