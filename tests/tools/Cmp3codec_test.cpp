#include "tools/Cmp3codec.h"

#include "support/Tempdir.h"
#include "tools/Cconsole.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace {

Cmp3codec::Update line(const std::string& text, bool decode, bool cut = false)
{
    return Cmp3codec::parse(text.data(), text.size(), decode, cut);
}

// A runner's output queue as readout sees it; records the size of every request.
struct Queue {
    explicit Queue(std::string t) : text(std::move(t)) {}
    std::string text;
    size_t pos = 0;
    std::vector<int> asked;
    std::vector<int> given;
    int operator()(char* dest, int n)
    {
        asked.push_back(n);
        const int k = int(std::min(text.size() - pos, size_t(n)));
        std::memcpy(dest, text.data() + pos, size_t(k));
        dest[k] = 0;
        pos += size_t(k);
        given.push_back(k);
        return k;
    }
};

Cmp3codec::Update drain(Queue& q, bool decode)
{
    return Cmp3codec::drain([&q](char* d, int n) { return q(d, n); }, decode);
}

}  // namespace

TEST(Cmp3codec, EncoderPercentAndBars) {
    const struct {
        const char* text;
        int progress;
        const char* status;   // null: no status change
    } cases[] = {
        {"(33%)|0:01/0:04|", 33, "0:01/0:04"},
        // As the encoder prints it: escape codes first, the status keeps its spaces.
        {"  0.0 \x1b[K\x1b[A   100/767    (33%)|    0:01/    0:04|    0:00/    0:00|   114.24x|", 33, "    0:01/    0:04"},
        {"   767/767   (100%)|    0:00/    0:00|    0:00/    0:00|", 100, "    0:00/    0:00"},
        {"no digits %|x|", 0, "x"},
        {"(0%)||", 0, ""},
        {"(99999999999%)|x|", 100, "x"},
        {"(52%) without bars", -1, nullptr},
        {"(52%)| one bar only", -1, nullptr},
        {"   kbps        LR  %     long switch short %", -1, nullptr},
        {"bars|before|the (5%)", -1, nullptr},
        {"Frame#   100/200", -1, nullptr},   // the decoder's pattern means nothing here
        {"", -1, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Cmp3codec::Update u = line(c.text, false);
        EXPECT_EQ(u.progress, c.progress);
        EXPECT_EQ(u.hasstatus, c.status != nullptr);
        if (c.status) {
            EXPECT_EQ(u.status, c.status);
        }
    }
}

TEST(Cmp3codec, DecoderFrameCounter) {
    const struct {
        const char* text;
        bool cut;
        int progress;
        const char* status;
    } cases[] = {
        {"Frame# 50/200", false, 25, "50/200"},
        {"Frame#   100/767    128 kbps  L  R    \b\b\b\b", false, 13, "100/767"},
        {"Frame#   767/767    128 kbps   MS", false, 100, "767/767"},
        // Rewritten in place: the newest complete counter of the chunk counts.
        {"Frame#  1/4  \b\bFrame#  3/4  \b\b", false, 75, "3/4"},
        {"Frame#  3/4  \b\bFrame#  9", false, 75, "3/4"},
        {"Frame# 4000000000/4000000000", false, 100, "4000000000/4000000000"},
        {"Frame# 5/20", false, 25, "5/20"},
        {"Frame# 5/20", true, -1, nullptr},   // the total may go on in the next chunk
        {"Frame# 5/20 ", true, 25, "5/20"},
        {"Frame# 5/0", false, -1, nullptr},   // total 0 changes nothing
        {"Frame# 300/200", false, -1, nullptr},
        {"Frame# x/5", false, -1, nullptr},
        {"Frame# 5 /7", false, -1, nullptr},
        {"Frame#", false, -1, nullptr},
        {"Frame 5/7", false, -1, nullptr},
        {"(33%)|0:01/0:04|", false, -1, nullptr},   // the encoder's pattern means nothing here
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Cmp3codec::Update u = line(c.text, true, c.cut);
        EXPECT_EQ(u.progress, c.progress);
        EXPECT_EQ(u.hasstatus, c.status != nullptr);
        if (c.status) {
            EXPECT_EQ(u.status, c.status);
        }
    }
}

TEST(Cmp3codec, DrainCutsChunksAt260Bytes) {
    {
        // 240 bytes before the line: it fits in the first chunk.
        Queue q(std::string(240, 'x') + "(33%)|0:01/0:04|");
        const Cmp3codec::Update u = drain(q, false);
        EXPECT_EQ(u.progress, 33);
        EXPECT_EQ(u.status, "0:01/0:04");
    }
    {
        // 255 bytes before it: the first chunk ends right after "(33%)", the bars are in the
        // second one, so neither chunk holds the whole pattern.
        Queue q(std::string(255, 'x') + "(33%)|0:01/0:04|");
        EXPECT_TRUE(drain(q, false).empty());
        EXPECT_EQ(q.given, (std::vector<int>{260, 11, 0}));
        EXPECT_EQ(q.asked, (std::vector<int>{260, 260, 260}));
    }
    {
        // Many chunks: the last progress and status set by any chunk win, even from different
        // chunks.
        std::string text = "(10%)|early|" + std::string(300, ' ') + "(20%)|later|";
        text += std::string(260 - text.size() % 260, '-');   // a last chunk with no pattern
        Queue q(text);
        const Cmp3codec::Update u = drain(q, false);
        EXPECT_EQ(u.progress, 20);
        EXPECT_EQ(u.status, "later");
        EXPECT_EQ(q.pos, text.size());
    }
    {
        // A frame counter cut at a chunk boundary is not read as a smaller total.
        std::string text = std::string(248, ' ') + "Frame# 50/20" + "0 ";
        Queue q(text);
        EXPECT_TRUE(drain(q, true).empty());
    }
    {
        // The decoder's counters, about 50 bytes each, over many chunks: the last one counts.
        std::string text;
        for (int k = 1; k <= 40; ++k)
            text += "Frame# " + std::to_string(k) + "/40    128 kbps  L  R   \b\b\b\b\b\b\b\b";
        Queue q(text);
        const Cmp3codec::Update u = drain(q, true);
        EXPECT_EQ(u.progress, 100);
        EXPECT_EQ(u.status, "40/40");
    }
    {
        Queue q("");
        EXPECT_TRUE(drain(q, true).empty());
        EXPECT_EQ(q.asked.size(), 1u);
    }
}

TEST(Cmp3codec, CommandLinesGiveThePathsBackUnchanged) {
    EXPECT_EQ(Cmp3codec::arguments("/w/song.wav", "/w/song.mp3", false), "\"/w/song.wav\" \"/w/song.mp3\"");
    EXPECT_EQ(Cmp3codec::arguments("/w/song.mp3", "/w/out.wav", true), "--decode \"/w/song.mp3\" \"/w/out.wav\"");
    const std::string paths[] = {
        "/tmp/my music/a b.wav",
        "/tmp/$HOME `id`; rm -rf & *.wav",
        "/tmp/say \"hi\".mp3",
        "/tmp/\"",
        "/tmp/back\\slash.wav",
        "/tmp/slash before quote\\\".wav",
        "/tmp/two\\\\\"quote.wav",
        "/tmp/ends in slash\\",
        "/tmp/ends in two\\\\",
        "\t'single' tab.wav",
    };
    for (const std::string& in : paths) {
        SCOPED_TRACE(in);
        for (bool decode : {false, true}) {
            const std::vector<std::string> args = Cconsole::splitargs(Cmp3codec::arguments(in, "/o/x.wav", decode));
            std::vector<std::string> expect = {in, "/o/x.wav"};
            if (decode) expect.insert(expect.begin(), "--decode");
            EXPECT_EQ(args, expect);
        }
    }
}

TEST(Cmp3out, TheResultTakesTheOutputsNameOnlyAfterARunThatEndedWell)
{
    Tempdir dir;
    const std::string in = dir.file("a.mp3"), out = dir.file("a.wav");
    ASSERT_TRUE(writebytes(in, {9}));
    ASSERT_TRUE(writebytes(out, {1, 2}));
    // An output that is the input through a link is refused.
    ASSERT_EQ(::symlink(in.c_str(), dir.file("b.wav").c_str()), 0);
    Cmp3out same;
    EXPECT_FALSE(same.begin(in, dir.file("b.wav")));
    for (bool ok : {false, true}) {
        Cmp3out o;
        ASSERT_TRUE(o.begin(in, out));
        ASSERT_NE(o.path(), out);
        ASSERT_TRUE(writebytes(o.path(), {3}));   // what the codec wrote
        EXPECT_EQ(o.end(ok), ok);
        EXPECT_EQ(readbytes(out), ok ? Bytes({3}) : Bytes({1, 2}));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 3);
    }
}
