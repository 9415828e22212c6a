#include "locator.h"

#include "pe_image.h"

namespace {

constexpr LocateResult NOTHING = {LocateResult::NOTHING, {0, 0}, NO_ERROR};

// A read failure and its code.
LocateResult read_failure(DWORD error) { return {LocateResult::READ_FAILED, {0, 0}, error}; }

// A payload from `start` to `end`, or nothing when that holds no byte.
LocateResult payload(uint64_t start, uint64_t end) {
    if (start == 0 || end <= start) return NOTHING;
    return {LocateResult::FOUND, {static_cast<uint32_t>(start), static_cast<uint32_t>(end - start)}, NO_ERROR};
}

// The payload of the trailer found. A back offset of 0 or more leaves its
// length open: the payload then runs to the end of the file. One that
// would start at 0 counts as nothing, and no other rule is tried after it.
LocateResult trailer_payload(const Trailer& trailer, uint32_t size) {
    int64_t start = int64_t{trailer.position} + trailer.back;
    int64_t end = trailer.back < 0 ? trailer.position : size;
    return payload(static_cast<uint64_t>(start), static_cast<uint64_t>(end));
}

// The data appended after the sections of a PE image, if the input is one.
LocateResult appended_payload(InputReader& input, uint32_t size) {
    PeHeaders headers;
    uint64_t sections_end = 0;
    if (!read_pe_headers(input, &headers) || !read_section_data_end(input, headers, &sections_end)) return NOTHING;
    // No section data at all: nothing says where appended data would start.
    if (sections_end == 0) return NOTHING;
    FileSpan data = appended_data(input, headers, sections_end, size);
    return payload(data.start, data.end);
}

// Either what was found or the failure that makes the answer unknown.
LocateResult settled(const InputReader& input, LocateResult found) {
    if (input.error() != NO_ERROR) return read_failure(input.error());
    return found;
}

}  // namespace

LocateResult locate_payload(HANDLE handle, uint32_t trailer_block) {
    InputReader input(handle);
    int64_t size;
    if (!input.size(&size)) return settled(input, NOTHING);
    // The file grew past what positions reach during the pause.
    if (size > MAX_INPUT_SIZE) return read_failure(ERROR_FILE_TOO_LARGE);
    auto size32 = static_cast<uint32_t>(size);
    TrailerFound trailer = find_trailer(input, size32, trailer_block);
    // A search that could not read the whole file cannot say that there is
    // no trailer, so the PE rule must not guess after it.
    if (trailer.kind == TrailerFound::READ_FAILED) return read_failure(trailer.error);
    if (trailer.kind == TrailerFound::FOUND) return settled(input, trailer_payload(trailer.value, size32));
    return settled(input, appended_payload(input, size32));
}
