// The torrent check on hand-made bencoding and on torrents from real makers,
// each also against the plain recursive model the fuzz target uses.
#include "locator_model.h"
#include "support.h"

namespace {

class TorrentCheckTest : public ScratchDirTest {
protected:
    // Checks `payload` placed after a few bytes of other data, with `after` behind it.
    TorrentCheck check(const Bytes& payload, const Bytes& after = {}) {
        Bytes file = concat(concat(Bytes(7, 'x'), payload), after);
        ScopedHandle input(write_and_open(file, path("input").string().c_str()));
        EXPECT_TRUE(input.valid());
        PayloadLocation where = {7, static_cast<uint32_t>(payload.size() + after.size())};
        TorrentCheck real = check_torrent(input.get(), where);
        TorrentCheck model = model_check(file, where.offset, where.length);
        EXPECT_EQ(real.kind, model.kind) << "the model disagrees";
        EXPECT_EQ(real.length, model.length) << "the model disagrees";
        if (real.kind == TorrentCheck::FOUND) {
            EXPECT_EQ(real.info.offset, model.info.offset) << "the model disagrees";
            EXPECT_EQ(real.info.length, model.info.length) << "the model disagrees";
        }
        return real;
    }
};

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST_F(TorrentCheckTest, HandMadeCases) {
    const auto FOUND = TorrentCheck::FOUND, NOTHING = TorrentCheck::NOTHING,
               INCOMPLETE = TorrentCheck::INCOMPLETE;
    std::string deep = "d4:infod1:a" + std::string(126, 'l') + std::string(126, 'e') + "ee";
    std::string deeper = "d4:infod1:a" + std::string(127, 'l') + std::string(127, 'e') + "ee";
    std::string long_string = "d4:infod6:pieces10000:" + std::string(10000, 'p') + "ee";
    const struct {
        const char* what;
        std::string payload;
        TorrentCheck::Kind kind;
    } cases[] = {
        {"the smallest torrent", "d4:infodee", FOUND},
        {"keys need not be sorted", "d1:zi-12e4:infod1:ai1ee1:a0:e", FOUND},
        {"nested lists and dictionaries", "d4:infod5:filesld6:lengthi5e4:pathl1:aeeeee", FOUND},
        {"a length with leading zeros", "d004:infodee", FOUND},
        {"a string longer than one read", long_string, FOUND},
        {"nested as deep as allowed", deep, FOUND},
        {"nested deeper", deeper, NOTHING},
        {"no info", "d1:ai1ee", NOTHING},
        {"info that is no dictionary", "d4:infoi1ee", NOTHING},
        {"info only inside another dictionary", "d1:ad4:infodeee", NOTHING},
        {"a list, not a dictionary", "l4:infodee", NOTHING},
        {"text", "hello world", NOTHING},
        {"a zero byte first", std::string(1, '\0'), NOTHING},
        {"a zero byte where a key belongs", std::string("d4:infod\0ee", 11), NOTHING},
        {"a zero byte inside a four-byte key", std::string("d4:inf\0", 7) + "0:4:infodee", FOUND},
        {"a zero byte where an integer ends", std::string("d4:infod1:ai1\0ee", 16), NOTHING},
        {"a zero byte where its digits belong", std::string("d4:infod1:ai\0ee", 15), NOTHING},
        {"a key that is no string", "di1e4:infodee", NOTHING},
        {"a key without its value", "d4:infoe", NOTHING},
        {"an integer without digits", "d4:infod1:ai-eee", NOTHING},
        {"an integer with a stray byte", "d4:infod1:ai1xeee", NOTHING},
        {"a length of 11 digits", "d4:infod1:a00000000001:xee", NOTHING},
        {"a length beyond any file", "d4:infod1:a2147483648:xee", NOTHING},
        {"an integer with every digit", "d4:infod1:ai-1234567890ee1:b0:e", FOUND},
        {"the longest length there can be", "d4:infod1:a2147483647:xee", INCOMPLETE},
        {"cut after an integer's i", "d4:infod1:ai", INCOMPLETE},
        {"cut inside an integer", "d4:infod1:ai12", INCOMPLETE},
        {"cut inside a key", "d4:inf", INCOMPLETE},
        {"a string that runs out", "d4:infod1:a9:abc", INCOMPLETE},
        {"cut after a value", "d4:infod1:ai1e", INCOMPLETE},
        {"cut after a key", "d4:infod1:a", INCOMPLETE},
        {"a list cut short", "l4:info", NOTHING},
        {"only the first byte", "d", INCOMPLETE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TorrentCheck got = check(text(c.payload));
        EXPECT_EQ(got.kind, c.kind);
        EXPECT_EQ(got.length, c.kind == FOUND ? c.payload.size() : 0);
    }
}

// The info-hash is of the "info" dictionary's bytes as they stand: the
// first such dictionary of the outer one, nested ones and values not
// counted. Places are in the file, 7 bytes before the payload.
TEST_F(TorrentCheckTest, TheInfoDictionarysPlace) {
    const struct {
        const char* payload;
        uint32_t offset, length;
    } cases[] = {
        {"d4:infod1:ai1ee1:xi2ee", 14, 8},
        {"d1:x4:info4:infodee", 23, 2},
        {"d4:infoi1e4:infod4:infod1:ai1eeee", 23, 16},
        {"d4:infod1:ai1ee4:infod1:bi2eee", 14, 8},
    };
    for (const auto& c : cases) {
        TorrentCheck got = check(text(c.payload));
        ASSERT_EQ(got.kind, TorrentCheck::FOUND) << c.payload;
        EXPECT_EQ(got.info.offset, c.offset) << c.payload;
        EXPECT_EQ(got.info.length, c.length) << c.payload;
    }
}

// Torrents from transmission-create, mktorrent and libtorrent (version 1,
// version 2 and hybrid): whole, behind other bytes, and cut.
TEST_F(TorrentCheckTest, RealTorrents) {
    for (const char* name : {"sample.torrent", "mktorrent.torrent", "libtorrent-v1.torrent", "libtorrent-v2.torrent",
                             "libtorrent-hybrid.torrent"}) {
        SCOPED_TRACE(name);
        Bytes torrent = read_file(fixture(name));
        ASSERT_GT(torrent.size(), 100u);
        TorrentCheck whole = check(torrent);
        EXPECT_EQ(whole.kind, TorrentCheck::FOUND);
        EXPECT_EQ(whole.length, torrent.size());
        // The signer's padding, or a trailer, after it is not the torrent.
        TorrentCheck padded = check(torrent, Bytes(5, 0));
        EXPECT_EQ(padded.kind, TorrentCheck::FOUND);
        EXPECT_EQ(padded.length, torrent.size());
        for (size_t cut : {torrent.size() / 2, torrent.size() - 1}) {
            EXPECT_EQ(check(Bytes(torrent.begin(), torrent.begin() + static_cast<long>(cut))).kind,
                      TorrentCheck::INCOMPLETE)
                << "cut to " << cut;
        }
    }
}

}  // namespace
