#include "input.h"

namespace {

// The first position that a signed 32-bit offset cannot name.
constexpr uint64_t UNREACHABLE_POSITION = uint64_t{1} << 31;

}  // namespace

bool input_size(HANDLE input, int64_t* size, DWORD* error) {
    LARGE_INTEGER got;
    if (!sys.GetFileSizeEx(input, &got)) {
        *error = GetLastError();
        return false;
    }
    *size = got.QuadPart;
    return true;
}

bool InputReader::failed(DWORD err) {
    // A failure that left no code is still a failure.
    if (error_ == NO_ERROR) error_ = err != NO_ERROR ? err : ERROR_READ_FAULT;
    position_ = -1;
    return false;
}

bool InputReader::read_at(uint64_t position, void* buffer, DWORD count, DWORD* got) {
    *got = 0;
    // No file this reads from reaches so far, nor could it be positioned to.
    if (position >= UNREACHABLE_POSITION) return true;
    if (static_cast<int64_t>(position) != position_ &&
        sys.SetFilePointer(handle_, static_cast<LONG>(position), nullptr, FILE_BEGIN) != position) {
        DWORD err = GetLastError();
        return failed(err);
    }
    if (!sys.ReadFile(handle_, buffer, count, got, nullptr)) {
        DWORD err = GetLastError();
        return failed(err);
    }
    position_ = static_cast<int64_t>(position + *got);
    return true;
}

bool InputReader::read_if_there(uint64_t position, void* buffer, DWORD count) {
    DWORD got;
    return read_at(position, buffer, count, &got) && got == count;
}

bool InputReader::read_required(uint64_t position, void* buffer, DWORD count) {
    DWORD got;
    if (!read_at(position, buffer, count, &got)) return false;
    return got == count || failed(ERROR_HANDLE_EOF);
}

bool InputReader::size(int64_t* size) {
    DWORD err = NO_ERROR;
    return input_size(handle_, size, &err) || failed(err);
}
