// What the page asks of the logic besides a run: where the saved torrent's
// "info" dictionary lies, as the torrent check that found it complete
// sees it, for the page to hash.
#include <emscripten.h>

#include "input.h"
#include "torrent_check.h"

// The place of the "info" dictionary in the torrent saved at `path`, as
// its offset and its length in `span`; false when the file holds no
// complete torrent, or cannot be read.
extern "C" EMSCRIPTEN_KEEPALIVE bool saved_torrent_info(const char* path, uint32_t* span) {
    ScopedHandle file(sys.CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_ARCHIVE, nullptr));
    int64_t size;
    DWORD error;
    if (!file.valid() || !input_size(file.get(), &size, &error) || size > MAX_INPUT_SIZE) return false;
    TorrentCheck torrent = check_torrent(file.get(), {0, static_cast<uint32_t>(size)});
    if (torrent.kind != TorrentCheck::FOUND) return false;
    span[0] = torrent.info.offset;
    span[1] = torrent.info.length;
    return true;
}
