#include "export.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "input.h"

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
        if (!owned_) return;
        // Once the file is deleted another process may take its name, which
        // an interruption before the name is withdrawn would remove.
        InterruptionsHeld held;
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
    bool owned_ = false;  // created under name_ and not yet renamed
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
        if (static_cast<size_t>(n) >= sizeof name_) {
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
            owned_ = true;
            remove_if_interrupted(name_);
            return true;
        }
        *error = GetLastError();
        // CREATE_NEW fails so when the name is taken, whatever by.
        if (*error != ERROR_FILE_EXISTS) return false;
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
    // As in the destructor: the name is free once renamed, and withdrawn
    // before an interruption can remove it.
    InterruptionsHeld held;
    bool moved = retry_while_held(Attempt::RenamingOrDeleting, [&] {
        return sys.MoveFileExA(name_, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    });
    if (!moved) {
        *error = GetLastError();
        return false;
    }
    owned_ = false;
    remove_if_interrupted(nullptr);
    return true;
}

// Copies the `length` bytes at `offset` into the output. Every read must
// deliver and every write take all they were given: the check before the
// save found that many bytes there, so fewer means the input changed.
bool copy_bytes(HANDLE input, uint32_t offset, uint32_t length, HANDLE output, DWORD* error) {
    InputReader reader(input);
    unsigned char chunk[COPY_CHUNK_SIZE];
    for (uint32_t done = 0; done < length;) {
        DWORD count = std::min<uint32_t>(length - done, COPY_CHUNK_SIZE);
        if (!reader.read_required(uint64_t{offset} + done, chunk, count)) {
            *error = reader.error();
            return false;
        }
        DWORD written;  // set by every WriteFile, even one that fails
        if (!sys.WriteFile(output, chunk, count, &written, nullptr)) {
            *error = GetLastError();
            return false;
        }
        if (written != count) {
            *error = ERROR_HANDLE_DISK_FULL;
            return false;
        }
        done += count;
    }
    return true;
}

}  // namespace

void open_with_registered_application(const char* output) {
    // The opener gets the full path: a program that is already running
    // resolves a relative one against its own directory, and xdg-open takes
    // a name that begins with "-" for an option. Handlers may be COM
    // objects, and the request must be complete before this short-lived
    // process ends.
    char full[MAX_PATH];
    DWORD length = sys.GetFullPathNameA(output, sizeof full, full, nullptr);
    HRESULT com = sys.CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOA request = {};
    request.cbSize = sizeof request;
    request.fMask = SEE_MASK_NOASYNC;
    request.lpFile = length != 0 && length < sizeof full ? full : output;
    request.nShow = SW_SHOWNORMAL;
    sys.ShellExecuteExA(&request);
    if (SUCCEEDED(com)) sys.CoUninitialize();
}

bool make_output_name(const char* input_path, char* output, size_t size) {
    size_t name_start = directory_part_length(input_path);
    const char* dot = std::strrchr(input_path + name_start, '.');
    size_t stem = dot ? static_cast<size_t>(dot - input_path) : std::strlen(input_path);
    int n = std::snprintf(output, size, "%.*s%s", static_cast<int>(stem), input_path, OUTPUT_EXTENSION);
    // A failure's negative count turns huge: it does not fit either.
    return static_cast<size_t>(n) < size;
}

bool is_same_file(HANDLE input, const char* path) {
    BY_HANDLE_FILE_INFORMATION a, b;
    // No file of that name, or none to be had: nothing the save replaces.
    if (!sys.identify_file(path, &b)) return false;
    // Without the input's identity the names may well be one file.
    if (!sys.GetFileInformationByHandle(input, &a)) return true;
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

bool save_payload(HANDLE input, const char* output_path, PayloadLocation where, DWORD* error) {
    TempFile temp;
    return temp.create(output_path, error) && copy_bytes(input, where.offset, where.length, temp.handle(), error) &&
           temp.commit(output_path, error);
}
