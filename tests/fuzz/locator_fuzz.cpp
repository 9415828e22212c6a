// libFuzzer target: arbitrary bytes as an input file. The locator's answer,
// with each filter set of the trailer search the CPU can execute and with
// the shipped block size and a small one, must equal the plain model's; so
// must the torrent check's, on what the locator found and on the whole
// input. Any difference aborts with both answers.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "locator_model.h"
#include "trailer_filters.h"

namespace {

// Small enough that inputs of a few hundred bytes cross several blocks.
constexpr uint32_t SMALL_BLOCK = 40;

void check_torrent_against_model(HANDLE input, const std::vector<unsigned char>& data, PayloadLocation where) {
    TorrentCheck expected = model_check(data, where.offset, where.length);
    TorrentCheck actual = check_torrent(input, where);
    bool same_info = actual.kind != TorrentCheck::FOUND ||
                     (actual.info.offset == expected.info.offset && actual.info.length == expected.info.length);
    if (actual.kind != expected.kind || actual.length != expected.length || !same_info) {
        std::fprintf(stderr,
                     "torrent check {%d, 0x%x, info at 0x%x len 0x%x} but model {%d, 0x%x, 0x%x, 0x%x}"
                     " at 0x%x len 0x%x\n",
                     actual.kind, actual.length, actual.info.offset, actual.info.length, expected.kind, expected.length,
                     expected.info.offset, expected.info.length, where.offset, where.length);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    static const std::string scratch = [] {
        const char* tmp = std::getenv("TMPDIR");
        return std::string(tmp && *tmp ? tmp : "/tmp") + "/dl2torrent-fuzz-" + std::to_string(getpid()) + ".bin";
    }();
    std::vector<unsigned char> data(bytes, bytes + size);
    ScopedHandle input(write_and_open(data, scratch.c_str()));
    if (!input.valid()) {
        std::fprintf(stderr, "cannot write or open %s\n", scratch.c_str());
        std::abort();
    }
    PayloadLocation expected = model_locate(data);
    for (const TrailerFilters* filters : runnable_trailer_filters()) {
        use_trailer_filters(filters);
        for (uint32_t block : {TRAILER_BLOCK_SIZE, SMALL_BLOCK}) {
            LocateResult actual = locate_payload(input.get(), block);
            PayloadLocation got = actual.kind == LocateResult::FOUND ? actual.value : PayloadLocation{0, 0};
            if (actual.kind == LocateResult::READ_FAILED || got.offset != expected.offset ||
                got.length != expected.length) {
                std::fprintf(stderr, "locator (%s filters, %u-byte blocks) {0x%x, 0x%x} but model {0x%x, 0x%x}\n",
                             filters->name, block, got.offset, got.length, expected.offset, expected.length);
                std::abort();
            }
        }
    }
    if (expected.offset != 0) check_torrent_against_model(input.get(), data, expected);
    if (size > 0) check_torrent_against_model(input.get(), data, {0, static_cast<uint32_t>(size)});
    return 0;
}
