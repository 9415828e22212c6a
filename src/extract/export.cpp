#include "export.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr char OUTPUT_EXTENSION[] = ".torrent";
// Tries this many temporary names before giving up on a crowded directory.
constexpr unsigned TEMP_NAME_ATTEMPTS = 100;

// A temporary file that is removed unless it was renamed into place.
class TempFile {
public:
    TempFile() = default;
    ~TempFile() {
        file_.reset();
        if (!name_[0] || kept_) return;
        retry_while_held(Attempt::RenamingOrDeleting, [&] { return sys.DeleteFileA(name_) != FALSE; });
        remove_if_interrupted(nullptr);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Creates a fresh file named after `target`; never opens an existing one.
    bool create(const char* target, DWORD* error);
    HANDLE handle() const { return file_.get(); }
    // Flushes and closes the file, then renames it over `target`.
    bool commit(const char* target, DWORD* error);

private:
    char name_[MAX_PATH] = "";
    ScopedHandle<> file_;
    bool kept_ = false;
};

bool TempFile::create(const char* target, DWORD* error) {
    // The temporary name is the target's with ".torrent" replaced by
    // "~XXX.tmp": as long as the target, so it fits wherever the target
    // does (a name of 255 bytes, a path of MAX_PATH), and in the target's
    // directory, so the rename stays on one file system.
    size_t stem = std::strlen(target) - std::min(std::strlen(target), sizeof OUTPUT_EXTENSION - 1);
    unsigned seed = static_cast<unsigned>(sys.GetCurrentProcessId());
    for (unsigned attempt = 0; attempt < TEMP_NAME_ATTEMPTS; ++attempt) {
        int n = std::snprintf(name_, sizeof name_, "%.*s~%03x.tmp", static_cast<int>(stem), target,
                              (seed + attempt) & 0xFFFu);
        if (n < 0 || static_cast<size_t>(n) >= sizeof name_) {
            name_[0] = '\0';
            *error = ERROR_FILENAME_EXCED_RANGE;
            return false;
        }
        // An interruption waits until the file is named for removal.
        InterruptionsHeld held;
        // Shared for deleting, so that an interrupted run can remove it by name.
        HANDLE h = sys.CreateFileA(name_, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_ARCHIVE, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            file_.reset(h);
            remove_if_interrupted(name_);
            return true;
        }
        *error = GetLastError();
        name_[0] = '\0';
        if (*error != ERROR_FILE_EXISTS && *error != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

bool TempFile::commit(const char* target, DWORD* error) {
    if (!sys.FlushFileBuffers(file_.get())) {
        *error = GetLastError();
        return false;
    }
    if (!file_.reset()) {
        *error = GetLastError();
        return false;
    }
    bool moved = retry_while_held(Attempt::RenamingOrDeleting, [&] {
        return sys.MoveFileExA(name_, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    });
    if (!moved) {
        *error = GetLastError();
        return false;
    }
    kept_ = true;
    remove_if_interrupted(nullptr);
    return true;
}

// Copies `length` bytes from the input's position, or up to the input's end
// when that comes first. Every write must take all it was given.
bool copy_bytes(HANDLE input, HANDLE output, uint32_t length, DWORD* error) {
    unsigned char chunk[COPY_CHUNK_SIZE];
    for (uint32_t remaining = length; remaining > 0;) {
        DWORD got = 0;
        if (!sys.ReadFile(input, chunk, std::min<uint32_t>(remaining, COPY_CHUNK_SIZE), &got, nullptr)) {
            *error = GetLastError();
            return false;
        }
        if (got == 0) break;
        DWORD written = 0;
        if (!sys.WriteFile(output, chunk, got, &written, nullptr)) {
            *error = GetLastError();
            return false;
        }
        if (written != got) {
            *error = ERROR_HANDLE_DISK_FULL;
            return false;
        }
        remaining -= got;
    }
    return true;
}

// Positions the input at the payload's start, which must be a signed 32-bit offset.
bool seek_payload(HANDLE input, uint32_t offset, DWORD* error) {
    if (offset > INT32_MAX) {
        *error = ERROR_NEGATIVE_SEEK;
        return false;
    }
    if (sys.SetFilePointer(input, static_cast<LONG>(offset), nullptr, FILE_BEGIN) != offset) {
        *error = GetLastError();
        return false;
    }
    return true;
}

// True when the names differ only in letter case, as one file may on Windows.
bool same_name_ignoring_case(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y) return false;
    }
    return *a == *b;
}

// Asks the desktop to open the saved file, and ignores the answer. The
// opener gets the full path: a program that is already running resolves a
// relative one against its own directory, and xdg-open takes a name that
// begins with "-" for an option. Handlers may be COM objects, and the
// request must be complete before this short-lived process ends.
void open_with_registered_application(const char* output) {
    char full[MAX_PATH];
    DWORD length = sys.GetFullPathNameA(output, sizeof full, full, nullptr);
    HRESULT com = sys.CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOA request = {};
    request.cbSize = sizeof request;
    request.fMask = SEE_MASK_NOASYNC;
    request.lpFile = length > 0 && length < sizeof full ? full : output;
    request.nShow = SW_SHOWNORMAL;
    sys.ShellExecuteExA(&request);
    if (SUCCEEDED(com)) sys.CoUninitialize();
}

}  // namespace

bool make_output_name(const char* input_path, char* output, size_t size) {
    size_t name_start = directory_part_length(input_path);
    const char* dot = std::strrchr(input_path + name_start, '.');
    size_t stem = dot ? static_cast<size_t>(dot - input_path) : std::strlen(input_path);
    int n = std::snprintf(output, size, "%.*s%s", static_cast<int>(stem), input_path, OUTPUT_EXTENSION);
    return n >= 0 && static_cast<size_t>(n) < size;
}

bool save_payload(HANDLE input, const char* output_path, PayloadLocation where, DWORD* error) {
    TempFile temp;
    return temp.create(output_path, error) && seek_payload(input, where.offset, error) &&
           copy_bytes(input, temp.handle(), where.length, error) && temp.commit(output_path, error);
}

bool export_payload(HANDLE input, const char* input_path, PayloadLocation where) {
    char output[MAX_PATH];
    if (!make_output_name(input_path, output, sizeof output)) {
        console_print("Output path is too long!\n");
        return false;
    }
    console_print("Saving torrent to %s...\n", output);
    // An input already named .torrent would be replaced by its own payload.
    if (same_name_ignoring_case(input_path, output)) {
        console_print("Could not save torrent!  It would replace the input file\n");
        return false;
    }
    DWORD error = NO_ERROR;
    if (!save_payload(input, output, where, &error)) {
        console_print("Could not save torrent!  Error %lu\n", static_cast<unsigned long>(error));
        return false;
    }
    open_with_registered_application(output);
    return true;
}
