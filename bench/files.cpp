// The benchmark's inputs, generated in files, and the plain reads and
// copies its references are made of.
#include "bench.h"

#include <fcntl.h>

namespace {

// Random bytes with a 'P' in about one byte of sixteen, and never the whole
// magic: a byte that would complete "PSER" becomes 'Q'.
class Noise {
public:
    explicit Noise(uint64_t seed) : state_(seed | 1) {}
    void fill(unsigned char* out, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if ((i & 7) == 0) word_ = next();
            auto c = static_cast<unsigned char>(word_ >> (8 * (i & 7)));
            if ((c & 0xF0) == 0x30) c = 'P';
            if (matched_ == 3 && c == 'R') c = 'Q';
            matched_ = c == 'P' ? 1 : (matched_ == 1 && c == 'S') ? 2 : (matched_ == 2 && c == 'E') ? 3 : 0;
            out[i] = c;
        }
    }

private:
    uint64_t next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1DULL;
    }
    uint64_t state_;
    uint64_t word_ = 0;
    int matched_ = 0;
};

void write_all(int fd, const unsigned char* data, size_t n, const std::string& path) {
    while (n > 0) {
        ssize_t done = write(fd, data, n);
        if (done <= 0) die("write", path);
        data += done;
        n -= static_cast<size_t>(done);
    }
}

}  // namespace

// A 32-bit PE image with one section of 0x200 bytes at 0x200: the smallest
// shape whose appended data starts at IMAGE_HEADERS_SIZE.
Bytes image_headers() { return make_pe({.sections = {{0x200, 0x200}}, .file_size = IMAGE_HEADERS_SIZE}); }

// The references' buffer, on a page boundary: the system copies several
// times slower into one that starts a few bytes past it on some CPUs.
alignas(4096) unsigned char reference_buffer[LARGE_COPY_SIZE];

// Reads the whole file in `call_size` read() calls; returns the bytes read.
size_t read_through(const std::string& path, size_t call_size) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) die("open", path);
    size_t total = 0;
    for (ssize_t n; (n = read(fd, reference_buffer, call_size)) > 0;) total += static_cast<size_t>(n);
    close(fd);
    return total;
}

// Writes `prefix` and then `n` bytes of noise to a new file at `path`, or
// with `near_misses` "PSEx" over and over, which passes the search's first
// filter everywhere: its worst case. Then reads the file once, so that the
// page cache holds it, as it does a downloader just written.
void make_file(const std::string& path, const Bytes& prefix, size_t n, bool near_misses, const Bytes& suffix) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) die("create", path);
    write_all(fd, prefix.data(), prefix.size(), path);
    Noise noise(0x9E3779B97F4A7C15ULL);
    for (size_t left = n, part; left > 0; left -= part) {
        part = std::min(left, sizeof reference_buffer);
        if (!near_misses) noise.fill(reference_buffer, part);
        for (size_t i = 0; near_misses && i < part; ++i) reference_buffer[i] = "PSEx"[i % 4];
        write_all(fd, reference_buffer, part, path);
    }
    write_all(fd, suffix.data(), suffix.size(), path);
    if (close(fd) != 0) die("close", path);
    if (read_through(path, READ_CALL_SIZE) != prefix.size() + n + suffix.size()) die("short read", path);
}

// A downloader of the image's headers and a torrent of `size` bytes
// appended, whose "pieces" string of noise takes up all but a few bytes.
void make_downloader(const std::string& path, size_t size) {
    for (size_t digits = 1; digits <= 10; ++digits) {
        size_t pieces = size - std::strlen("d4:infod6:pieces:ee") - digits;
        if (std::to_string(pieces).size() != digits) continue;
        std::string head = "d4:infod6:pieces" + std::to_string(pieces) + ":";
        make_file(path, ByteBuilder().bytes(image_headers()).text(head).data(), pieces, false, {'e', 'e'});
        return;
    }
    die("no torrent has the size asked for", path);
}

// Copies [offset, end) of `from` into a new file `to` in read() and write()
// calls of `call_size` bytes; the fsync's time goes to *sync_time.
void plain_copy(const std::string& from, const std::string& to, off_t offset, size_t call_size, double* sync_time) {
    int in = open(from.c_str(), O_RDONLY);
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (in < 0 || out < 0) die("open for the copy", to);
    if (lseek(in, offset, SEEK_SET) != offset) die("seek", from);
    for (ssize_t n; (n = read(in, reference_buffer, call_size)) > 0;) write_all(out, reference_buffer, static_cast<size_t>(n), to);
    double start = seconds_now();
    if (fsync(out) != 0) die("fsync", to);
    *sync_time = seconds_now() - start;
    close(out);
    close(in);
}

// True when file `a` from `offset` on holds exactly the bytes of file `b`.
bool same_tail(const std::string& a, off_t offset, const std::string& b) {
    std::vector<unsigned char> x(MIB), y(MIB);
    int fa = open(a.c_str(), O_RDONLY), fb = open(b.c_str(), O_RDONLY);
    bool same = fa >= 0 && fb >= 0 && lseek(fa, offset, SEEK_SET) == offset;
    while (same) {
        ssize_t na = read(fa, x.data(), x.size()), nb = read(fb, y.data(), y.size());
        if (na != nb || na < 0) same = false;
        else if (na == 0) break;
        else same = std::memcmp(x.data(), y.data(), static_cast<size_t>(na)) == 0;
    }
    if (fa >= 0) close(fa);
    if (fb >= 0) close(fb);
    return same;
}
