#include "torrent_check.h"

#include <algorithm>

namespace {

// A string's length has at most this many digits: no payload is longer
// than MAX_INPUT_SIZE.
constexpr int MAX_LENGTH_DIGITS = 10;

// The payload's bytes one at a time, read a block at a time; contents that
// are passed over are never read.
class Cursor {
public:
    Cursor(InputReader& input, uint64_t start, uint64_t end)
        : input_(input), position_(start), base_(start), end_(end) {}

    // The next byte; -1 where the payload or the file ends, or a read failed.
    int peek() { return position_ - base_ < filled_ || fill() ? buffer_[position_ - base_] : -1; }
    void take() { ++position_; }
    // Passes over `count` bytes; false when the payload ends first.
    bool skip(uint64_t count) {
        if (count > end_ - position_) return false;
        position_ += count;
        return true;
    }
    uint64_t position() const { return position_; }

private:
    // Reads on from the position; false when nothing more is there. At the
    // payload's end it asks for nothing, and nothing comes.
    bool fill() {
        base_ = position_;
        DWORD want = static_cast<DWORD>(std::min<uint64_t>(TORRENT_READ_SIZE, end_ - base_));
        return input_.read_at(base_, buffer_, want, &filled_) && filled_ > 0;
    }

    InputReader& input_;
    uint64_t position_;  // of the next byte, in the file
    uint64_t base_;      // the file offset of buffer_[0]
    uint64_t end_;
    DWORD filled_ = 0;
    unsigned char buffer_[TORRENT_READ_SIZE];
};

// What reading on came to: more to read, the outer dictionary's end, bytes
// that are no bencoding, or the end of the payload before the end.
enum class Step { MORE, END, MALFORMED, SHORT };

// Where the parser stands in each open container.
enum Frame : unsigned char { LIST, DICT_KEY, DICT_VALUE };

// Reads bencoding iteratively, one step at a time, with a fixed stack.
class Parser {
public:
    explicit Parser(Cursor& in) : in_(in) {}

    // Reads the outer dictionary up to its end.
    Step run() {
        if (in_.peek() != 'd') return in_.peek() < 0 ? Step::SHORT : Step::MALFORMED;
        Step step = value();
        while (step == Step::MORE) step = next();
        return step;
    }
    // True when the outer dictionary's "info" holds a dictionary.
    bool has_info() const { return has_info_; }
    // Where the first such dictionary lies, once read to its end.
    PayloadLocation info() const {
        return {static_cast<uint32_t>(info_start_), static_cast<uint32_t>(info_end_ - info_start_)};
    }

private:
    Step next();
    Step value();
    Step push(Frame frame);
    Step integer();
    Step string(bool* is_info);

    // The byte that must come next, taken; `step` when it does.
    Step expect(char byte, Step step) {
        int c = in_.peek();
        if (c < 0) return Step::SHORT;
        if (c != static_cast<unsigned char>(byte)) return Step::MALFORMED;
        in_.take();
        return step;
    }

    Cursor& in_;
    Frame stack_[TORRENT_MAX_NESTING];
    uint32_t depth_ = 0;
    bool info_next_ = false;  // the outer dictionary's key just read was "info"
    bool has_info_ = false;
    uint32_t info_depth_ = 0;  // while the first "info" dictionary is open: the depth inside it
    uint64_t info_start_ = 0, info_end_ = 0;
};

Step Parser::next() {
    int c = in_.peek();
    if (c < 0) return Step::SHORT;
    Frame& top = stack_[depth_ - 1];
    if (c == 'e' && top != DICT_VALUE) {
        in_.take();
        if (depth_ == info_depth_) {
            info_end_ = in_.position();
            info_depth_ = 0;
        }
        return --depth_ == 0 ? Step::END : Step::MORE;
    }
    if (top == DICT_KEY) {
        top = DICT_VALUE;
        return string(depth_ == 1 ? &info_next_ : nullptr);
    }
    if (top == DICT_VALUE) top = DICT_KEY;
    return value();
}

Step Parser::value() {
    bool is_info = info_next_;
    info_next_ = false;
    int c = in_.peek();
    if (c == 'i') return integer();
    if (c >= '0' && c <= '9') return string(nullptr);
    if (c == 'l') return push(LIST);
    if (c != 'd') return Step::MALFORMED;
    if (is_info && !has_info_) {
        has_info_ = true;
        info_start_ = in_.position();
        info_depth_ = depth_ + 1;
    }
    return push(DICT_KEY);
}

Step Parser::push(Frame frame) {
    if (depth_ == TORRENT_MAX_NESTING) return Step::MALFORMED;
    in_.take();
    stack_[depth_++] = frame;
    return Step::MORE;
}

// "i", an optional minus sign, digits, "e".
Step Parser::integer() {
    in_.take();
    if (in_.peek() == '-') in_.take();
    int digits = 0;
    for (int c; (c = in_.peek()) >= '0' && c <= '9'; ++digits) in_.take();
    if (digits == 0) return in_.peek() < 0 ? Step::SHORT : Step::MALFORMED;
    return expect('e', Step::MORE);
}

// The length in digits, ":", and that many bytes, passed over unless
// `is_info` asks whether they spell "info".
Step Parser::string(bool* is_info) {
    uint64_t length = 0;
    int digits = 0;
    for (int c; (c = in_.peek()) >= '0' && c <= '9'; ++digits) {
        if (digits == MAX_LENGTH_DIGITS) return Step::MALFORMED;
        length = 10 * length + static_cast<unsigned>(c - '0');
        in_.take();
    }
    if (digits == 0) return in_.peek() < 0 ? Step::SHORT : Step::MALFORMED;
    if (length > static_cast<uint64_t>(MAX_INPUT_SIZE)) return Step::MALFORMED;
    Step step = expect(':', Step::MORE);
    if (step != Step::MORE) return step;
    if (!is_info || length != 4) {
        if (is_info) *is_info = false;
        return in_.skip(length) ? Step::MORE : Step::SHORT;
    }
    *is_info = true;
    for (char byte : {'i', 'n', 'f', 'o'}) {
        int c = in_.peek();
        if (c < 0) return Step::SHORT;
        *is_info = *is_info && c == byte;
        in_.take();
    }
    return Step::MORE;
}

// The check's answer: its kind, and the torrent's length and the place of
// its "info" dictionary, or the read's error.
TorrentCheck answer(TorrentCheck::Kind kind, uint32_t length, DWORD error, PayloadLocation info = {0, 0}) {
    return {kind, length, error, info};
}

}  // namespace

TorrentCheck check_torrent(HANDLE handle, PayloadLocation where) {
    InputReader input(handle);
    Cursor cursor(input, where.offset, uint64_t{where.offset} + where.length);
    Parser parser(cursor);
    Step step = parser.run();
    if (input.error() != NO_ERROR) return answer(TorrentCheck::READ_FAILED, 0, input.error());
    if (step == Step::SHORT) return answer(TorrentCheck::INCOMPLETE, 0, NO_ERROR);
    if (step == Step::MALFORMED || !parser.has_info()) return answer(TorrentCheck::NOTHING, 0, NO_ERROR);
    return answer(TorrentCheck::FOUND, static_cast<uint32_t>(cursor.position() - where.offset), NO_ERROR,
                  parser.info());
}
