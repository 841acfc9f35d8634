#include "audio/Cwavfil.h"

#include "support/Boxes.h"
#include "support/Tempdir.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

const char* RDERR = "Cwavfil::openrd\nError while reading WAVE file";

void le16(Bytes& b, uint32_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void le32(Bytes& b, uint32_t v)
{
    le16(b, v & 0xffff);
    le16(b, v >> 16);
}
void tag(Bytes& b, const char* t)
{
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(t[i]));
}

// A canonical header with the given fields, followed by frames (left, right) pairs.
struct Wavspec {
    uint16_t tag = 1, channels = 2, bits = 16, align = 4;
    uint32_t rate = 44100, datasize = 0xffffffff;   // all-ones: 4 * frames
    std::vector<int16_t> samples;
};

Bytes wavbytes(const Wavspec& s)
{
    Bytes b;
    const uint32_t data = s.datasize == 0xffffffff ? uint32_t(s.samples.size() * 2) : s.datasize;
    tag(b, "RIFF");
    le32(b, data + 36);
    tag(b, "WAVE");
    tag(b, "fmt ");
    le32(b, 16);
    le16(b, s.tag);
    le16(b, s.channels);
    le32(b, s.rate);
    le32(b, s.rate * s.align);
    le16(b, s.align);
    le16(b, s.bits);
    tag(b, "data");
    le32(b, data);
    for (int16_t v : s.samples) le16(b, uint16_t(v));
    return b;
}

int16_t sampleat(const Bytes& b, size_t i) { return int16_t(b[44 + 2 * i] | b[45 + 2 * i] << 8); }
uint32_t u32at(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24; }

// Writes frames in pieces of 1, 2, 37 and 300 frames in turn (so that pieces both hold and
// cross a change between loud and quiet frames) and finishes the file.
void writeframes(Cwavfil& w, const std::vector<std::pair<int16_t, int16_t>>& frames, bool trim = false, int32_t extra = 0)
{
    ASSERT_TRUE(w.openwr());
    std::vector<int16_t> pcm;
    for (auto [l, r] : frames) pcm.insert(pcm.end(), {l, r});
    const int pieces[] = {1, 2, 37, 300};
    for (size_t i = 0, k = 0; i < frames.size(); k = (k + 1) % 4) {
        const int n = int(std::min(frames.size() - i, size_t(pieces[k])));
        if (n == 1) w.wrframe(pcm[2 * i], pcm[2 * i + 1]);
        else w.wrframes(&pcm[2 * i], n);
        i += size_t(n);
    }
    w.closewr(trim, extra);
}

}  // namespace

TEST(Cwavfil, WritesTheCanonicalHeaderByteForByte)
{
    Tempdir dir;
    Cwavfil w(dir.file("a.wav"));
    ASSERT_TRUE(w.openwr());
    const Bytes empty = readbytes(w.temppath());   // written beside a.wav until finished
    const Bytes expect = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 2, 0,
                          0x44, 0xac, 0, 0, 0x10, 0xb1, 2, 0, 4, 0, 16, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0};
    EXPECT_EQ(empty, expect);   // both sizes stay 0 while writing
    w.wrframe(1, -2);
    w.wrframe(-32768, 32767);
    w.closewr(false, 0);
    EXPECT_EQ(w.failed(), Wverr::none);
    Bytes full = expect;
    full[4] = 36 + 8;
    full[40] = 8;
    for (uint8_t v : {1, 0, 0xfe, 0xff, 0, 0x80, 0xff, 0x7f}) full.push_back(v);
    EXPECT_EQ(readbytes(dir.file("a.wav")), full);
    EXPECT_EQ(w.peak, 32768);   // -32768 counts as 32768; gain 33553408 / 32768 = 1023, no normalization
}

TEST(Cwavfil, BuffersOneSecondThenWritesAllOfIt)
{
    Tempdir dir;
    const std::string path = dir.file("b.wav");
    Cwavfil w(path);
    ASSERT_TRUE(w.openwr());
    // A few frames one by one, the rest in one call that fills the buffer and starts the next.
    std::vector<int16_t> pcm;
    for (int i = 0; i < 44100 + 3; ++i) pcm.insert(pcm.end(), {int16_t(i), int16_t(-i)});
    for (int i = 0; i < 5; ++i) w.wrframe(pcm[2 * i], pcm[2 * i + 1]);
    w.wrframes(pcm.data() + 10, 44100 + 3 - 5);
    EXPECT_EQ(readbytes(w.temppath()).size(), 44u + 176400);   // first second on disk, three frames held
    EXPECT_EQ(w.peak, 32768);   // int16_t(-32768) at frame 32768
    w.closewr(false, 0);
    const Bytes b = readbytes(path);
    ASSERT_EQ(b.size(), 44u + 4 * 44103);
    EXPECT_EQ(u32at(b, 40), 4u * 44103);
    EXPECT_EQ(u32at(b, 4), 4u * 44103 + 36);
    for (int i : {0, 1, 44099, 44100, 44102}) {
        EXPECT_EQ(sampleat(b, 2 * i), int16_t(i));
        EXPECT_EQ(sampleat(b, 2 * i + 1), int16_t(-i));
    }
}

TEST(Cwavfil, CloseTrimsTheQuietTailAndAppendsSilence)
{
    struct Case {
        int loud, quiet;
        bool trim;
        int32_t extra;
        int32_t frames;
    } cases[] = {
        {1000, 500, true, 0, 1000},     // last 500 frames within +-8: 2000 bytes shorter
        {0, 800, true, 0, 800},         // quiet throughout: stays whole
        {1000, 500, false, 0, 1500},
        {10, 0, false, 44100, 44110},   // one second of zeros appended
        {10, 5, true, 7, 17},           // trimmed, then the extra frames
        {3, 0, false, -10, 0},          // a negative extra never gives a negative length
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.loud << "/" << c.quiet << "/" << c.trim << "/" << c.extra);
        Tempdir dir;
        const std::string path = dir.file("t.wav");
        Cwavfil w(path);
        std::vector<std::pair<int16_t, int16_t>> frames;
        for (int i = 0; i < c.loud; ++i) frames.push_back({int16_t(100 + i), 9});
        for (int i = 0; i < c.quiet; ++i) frames.push_back({int16_t(i % 17 - 8), -8});
        writeframes(w, frames, c.trim, c.extra);
        EXPECT_EQ(w.nframes, c.frames);
        EXPECT_EQ(w.failed(), Wverr::none);
        const Bytes b = readbytes(path);
        ASSERT_EQ(b.size(), 44u + 4 * size_t(c.frames));
        EXPECT_EQ(u32at(b, 40), 4u * c.frames);
        EXPECT_EQ(u32at(b, 4), 4u * c.frames + 36);
        for (size_t i = 44 + 4 * size_t(std::min<int>(c.loud + c.quiet, c.frames)); i < b.size(); ++i)
            ASSERT_EQ(b[i], 0) << i;
    }
}

TEST(Cwavfil, PeakAndQuietFollowTheLoudnessThreshold)
{
    Tempdir dir;
    Cwavfil w(dir.file("p.wav"));
    writeframes(w, {{8, -8}, {-8, 0}});
    EXPECT_EQ(w.peak, 0);   // "no sound": nothing above 8
    EXPECT_EQ(w.quiet, 2);
    Cwavfil v(dir.file("q.wav"));
    writeframes(v, {{9, 0}, {0, -300}, {3, 3}});
    EXPECT_EQ(v.peak, 300);
    EXPECT_EQ(v.quiet, 1);
}

TEST(Cwavfil, WrblockAppendsRawBytesAfterQueuedFrames)
{
    Tempdir dir;
    const std::string path = dir.file("r.wav");
    Cwavfil w(path);
    ASSERT_TRUE(w.openwr());
    w.wrframe(1, 2);
    const uint8_t raw[6] = {3, 0, 4, 0, 0x55, 0x66};   // one frame and two stray bytes
    w.wrblock(raw, 6);
    EXPECT_EQ(w.nframes, 2);
    w.closewr(false, 0);
    const Bytes b = readbytes(path);
    ASSERT_EQ(b.size(), 44u + 8);
    EXPECT_EQ(sampleat(b, 0), 1);
    EXPECT_EQ(sampleat(b, 2), 3);
    EXPECT_EQ(sampleat(b, 3), 4);
}

TEST(Cwavfil, RemembersFailedWritesAndPatches)
{
    Tempdir dir;
    Cwavfil w(dir.file("f.wav"));
    ASSERT_TRUE(w.openwr());
    EXPECT_EQ(w.failed(), Wverr::none);
    // From here on every write lands on a full device.
    const int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    ASSERT_GE(::dup2(full, w.fd), 0);
    ::close(full);
    for (int i = 0; i < 44100; ++i) w.wrframe(100, 100);
    EXPECT_EQ(w.failed(), Wverr::write);
    EXPECT_EQ(w.syserr(), ENOSPC);
    EXPECT_FALSE(w.closewr(false, 0));
    EXPECT_NE(w.failed(), Wverr::none);
    // Nothing is kept of a file that could not be written, not even its temporary file.
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    // A new openwr starts clean; a failing openwr is reported and remembered too.
    Cwavfil ok(dir.file("g.wav"));
    writeframes(ok, {{1, 1}});
    EXPECT_EQ(ok.failed(), Wverr::none);
    Boxes boxes;
    Cwavfil bad(dir.file("missing/folder/x.wav"));
    EXPECT_FALSE(bad.openwr());
    EXPECT_EQ(bad.failed(), Wverr::open);
    EXPECT_EQ(bad.fd, -1);
    EXPECT_EQ(boxes.texts(), std::vector<std::string>{"Cwavfil::openwr\nError while writing WAVE file"});
    EXPECT_EQ(boxes.last().caption, "Error!");
}

TEST(Cwavfil, OpenrdRejectsAnythingButTheCanonicalStereoLayout)
{
    const Bytes good = wavbytes({.samples = {1, 2, 3, 4}});
    auto with = [&](size_t at, std::initializer_list<uint8_t> v) {
        Bytes b = good;
        std::copy(v.begin(), v.end(), b.begin() + long(at));
        return b;
    };
    // Bytes put in at offset 36, in front of the "data" chunk.
    auto splice = [&](const Bytes& add) {
        Bytes b(good.begin(), good.begin() + 36);
        for (uint8_t v : add) b.push_back(v);
        for (size_t i = 36; i < good.size(); ++i) b.push_back(good[i]);
        return b;
    };
    Bytes fmt18 = splice({0, 0});   // an 18-byte format chunk moves "data" to 38
    fmt18[16] = 18;
    const Bytes listfirst = splice({'L', 'I', 'S', 'T', 0, 0, 0, 0});
    const struct {
        const char* name;
        Bytes bytes;
    } bad[] = {
        {"empty", {}},
        {"43 bytes", Bytes(good.begin(), good.begin() + 43)},
        {"riff", with(0, {'r'})},
        {"RIFX", with(3, {'X'})},
        {"wave", with(8, {'w'})},
        {"FMT", with(12, {'F'})},
        {"DATA", with(36, {'D'})},
        {"mono", wavbytes({.channels = 1, .align = 2, .samples = {1}})},
        {"8-bit", wavbytes({.bits = 8, .align = 2, .samples = {1}})},
        {"float", wavbytes({.tag = 3, .samples = {1}})},
        {"extensible", wavbytes({.tag = 0xfffe, .samples = {1}})},
        {"fmt 18", fmt18},
        {"chunk before data", listfirst},
    };
    Tempdir dir;
    for (const auto& c : bad) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("bad.wav");
        ASSERT_TRUE(writebytes(path, c.bytes));
        Boxes boxes;
        Cwavfil w(path);
        EXPECT_FALSE(w.openrd());
        EXPECT_EQ(w.fd, -1);
        EXPECT_EQ(boxes.texts(), std::vector<std::string>{RDERR});
        EXPECT_EQ(w.duration(), 0.0);
    }
    Boxes boxes;
    Cwavfil none(dir.file("nothing-here.wav"));
    EXPECT_FALSE(none.openrd());
    EXPECT_EQ(boxes.last().text, RDERR);
}

TEST(Cwavfil, FrameCountFallsBackToTheFileLength)
{
    const struct {
        uint32_t datasize;
        size_t samples;
        int32_t frames;
    } cases[] = {
        {0, 10, 5},            // unfinished file: everything after the header
        {1, 10, 5}, {2, 10, 5}, {3, 10, 5},
        {4, 10, 1},            // a real size wins when the file holds it
        {20, 10, 5},
        {0, 11, 5},            // an odd sample at the end is no frame
        {0x7fffffff, 6, 3},    // a size beyond the file counts what is there
        {0xfffffffc, 0, 0},
    };
    Tempdir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.datasize << "/" << c.samples);
        const std::string path = dir.file("n.wav");
        Wavspec s;
        s.datasize = c.datasize;
        for (size_t i = 0; i < c.samples; ++i) s.samples.push_back(int16_t(i + 1));
        ASSERT_TRUE(writebytes(path, wavbytes(s)));
        Cwavfil w(path);
        ASSERT_TRUE(w.openrd());
        EXPECT_EQ(w.nframes, c.frames);
        EXPECT_EQ(w.frpos, 0);
        w.close();
    }

    // A file written by openwr and never finished reads back whole.
    const std::string path = dir.file("cut.wav");
    Cwavfil w(path);
    ASSERT_TRUE(w.openwr());
    for (int i = 0; i < 44101; ++i) w.wrframe(7, 7);   // one second reaches the disk
    Cwavfil r(w.temppath());
    ASSERT_TRUE(r.openrd());
    EXPECT_EQ(r.nframes, 44100);
    r.close();
    w.closewr(false, 0);
}

TEST(Cwavfil, RdblockReadsFramesThenZeroFills)
{
    Tempdir dir;
    const std::string path = dir.file("r.wav");
    ASSERT_TRUE(writebytes(path, wavbytes({.samples = {1, 2, 3, 4, 5, 6}})));
    Cwavfil w(path);
    ASSERT_TRUE(w.openrd());
    uint8_t d[16];
    std::fill(std::begin(d), std::end(d), 0xaa);
    EXPECT_TRUE(w.rdblock(d, 8));
    EXPECT_EQ(d[0], 1);
    EXPECT_EQ(d[6], 4);
    EXPECT_EQ(d[8], 0xaa);   // nothing beyond the request is touched
    EXPECT_EQ(w.frpos, 2);
    std::fill(std::begin(d), std::end(d), 0xaa);
    EXPECT_TRUE(w.rdblock(d, 16));   // one frame left: read it, silence after
    EXPECT_EQ(d[0], 5);
    EXPECT_EQ(d[2], 6);
    for (int i = 4; i < 16; ++i) EXPECT_EQ(d[i], 0) << i;
    std::fill(std::begin(d), std::end(d), 0xaa);
    EXPECT_FALSE(w.rdblock(d, 16));   // at the end: false and all silence
    for (int i = 0; i < 16; ++i) EXPECT_EQ(d[i], 0) << i;
    w.close();

    // A file shorter than its data size: the missing part is silence, never stale bytes.
    ASSERT_TRUE(writebytes(path, wavbytes({.datasize = 400, .samples = {9, 9}})));
    Cwavfil s(path);
    ASSERT_TRUE(s.openrd());
    s.nframes = 100;   // as if the file shrank after it was opened
    std::fill(std::begin(d), std::end(d), 0xaa);
    EXPECT_FALSE(s.rdblock(d, 16));
    EXPECT_EQ(d[0], 9);
    for (int i = 4; i < 16; ++i) EXPECT_EQ(d[i], 0) << i;
    s.close();
}

TEST(Cwavfil, DurationAndSeekUseTheFileRate)
{
    Tempdir dir;
    const std::string path = dir.file("d.wav");
    std::vector<int16_t> samples(2 * 22050);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = int16_t(i / 2);
    ASSERT_TRUE(writebytes(path, wavbytes({.rate = 22050, .samples = samples})));
    Cwavfil w(path);
    EXPECT_DOUBLE_EQ(w.duration(), 1e6);   // one second at 22050
    EXPECT_EQ(w.fd, -1);                   // duration closes what it opened
    ASSERT_TRUE(w.openrd());
    EXPECT_EQ(w.fmt.rate, 22050u);
    EXPECT_TRUE(w.seek(500000));
    EXPECT_EQ(w.frpos, 11025);
    uint8_t d[4];
    EXPECT_TRUE(w.rdblock(d, 4));
    EXPECT_EQ(d[0] | d[1] << 8, 11025);
    EXPECT_TRUE(w.seek(-5));   // before the start: the first frame
    EXPECT_EQ(w.frpos, 0);
    EXPECT_TRUE(w.seek(1e30));   // far past the end: the end, reading gives silence
    EXPECT_EQ(w.frpos, 22050);
    EXPECT_FALSE(w.rdblock(d, 4));
    w.close();
    EXPECT_FALSE(w.seek(0));   // nothing open
}

TEST(Cwavfil, HostileRateAndAlignDoNotDivideByZero)
{
    Tempdir dir;
    const std::string path = dir.file("z.wav");
    ASSERT_TRUE(writebytes(path, wavbytes({.align = 0, .rate = 0, .samples = {1, 2, 3, 4}})));
    Cwavfil w(path);
    EXPECT_EQ(w.duration(), 0.0);
    ASSERT_TRUE(writebytes(path, wavbytes({.align = 0, .samples = {1, 2, 3, 4}})));
    EXPECT_NEAR(w.duration(), 2 * 1e6 / 44100, 1e-6);
}

TEST(Cwavfil, NormalizeScalesThroughTheTemporaryFile)
{
    Tempdir dir;
    const std::string path = dir.file("song.wav");
    Cwavfil w(path);
    writeframes(w, {{9, -9}, {0, 1}, {-1, 5}});
    ASSERT_EQ(w.peak, 9);
    const int32_t gain = 33553408 / w.peak;
    EXPECT_EQ(gain, 3728156);
    const Bytes before = readbytes(path);
    Boxes boxes;
    ASSERT_TRUE(w.normalize(gain));
    EXPECT_TRUE(boxes.empty());
    const Bytes after = readbytes(path);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + 44, after.begin()));
    // Scaling rounds toward minus infinity: 9 -> 32766, -9 -> -32767, -1 -> -3641.
    const int16_t expect[] = {32766, -32767, 0, 3640, -3641, 18203};
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(sampleat(after, i), expect[i]) << i;
    EXPECT_FALSE(exists(dir.file("song.tmp")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(Cwavfil, NormalizeSaturatesInsteadOfWrapping)
{
    Tempdir dir;
    const std::string path = dir.file("loud.wav");
    Cwavfil w(path);
    writeframes(w, {{32767, -32768}, {16384, -16385}});
    ASSERT_TRUE(w.normalize(2048));   // twice as loud
    const Bytes b = readbytes(path);
    const int16_t expect[] = {32767, -32768, 32767, -32768};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(sampleat(b, i), expect[i]) << i;

    // Every sample value, at gains across the whole range: floor(s gain / 1024), saturated.
    for (int32_t gain : {0, 1, 1023, 1024, 2047, 3728156, (1 << 25) - 1, 1 << 25, (1 << 25) + 1, 2000000000}) {
        SCOPED_TRACE(gain);
        const std::string all = dir.file("all.wav");
        Cwavfil a(all);
        std::vector<std::pair<int16_t, int16_t>> frames;
        for (int s = -32768; s < 32768; s += 2) frames.push_back({int16_t(s), int16_t(s + 1)});
        writeframes(a, frames);
        ASSERT_TRUE(a.normalize(gain));
        const Bytes got = readbytes(all);
        for (int s = -32768; s < 32768; ++s) {
            const int64_t want = std::clamp<int64_t>((int64_t(s) * gain) >> 10, -32768, 32767);
            ASSERT_EQ(sampleat(got, size_t(s + 32768)), want) << s;
        }
    }
}

TEST(Cwavfil, ReplacesAFileOnlyWhenTheNewOneIsFinished)
{
    Tempdir dir;
    const std::string path = dir.file("song.wav");
    const Bytes old = wavbytes({.samples = {7, 7}});
    ASSERT_TRUE(writebytes(path, old));
    ASSERT_TRUE(writebytes(dir.file("song.tmp"), {1, 2, 3}));   // the user's own file
    auto names = [&] {
        std::vector<std::string> n;
        for (const auto& e : std::filesystem::directory_iterator(dir.path())) n.push_back(e.path().filename());
        std::sort(n.begin(), n.end());
        return n;
    };
    const std::vector<std::string> before = names();

    // While it is written, and when it is dropped, the old file stays as it was.
    Cwavfil w(path);
    ASSERT_TRUE(w.openwr());
    for (int i = 0; i < 2 * 44100; ++i) w.wrframe(300, -300);
    EXPECT_EQ(readbytes(path), old);
    EXPECT_TRUE(exists(w.temppath()));
    w.finish(false, 0);
    ASSERT_TRUE(w.normalize(2048));   // scaled where it lies: one file, one rename
    EXPECT_EQ(names(), before);       // a file without a name until it is finished
    w.discard();
    EXPECT_EQ(readbytes(path), old);
    EXPECT_EQ(names(), before);

    // A stop that is set by the time of the rename keeps the old file; it is no write failure.
    const std::atomic<bool> stop{true};
    ASSERT_TRUE(w.openwr());
    w.wrframe(9, 9);
    w.finish(false, 0);
    EXPECT_FALSE(w.commit(&stop));
    EXPECT_EQ(w.failed(), Wverr::none);
    EXPECT_EQ(readbytes(path), old);
    EXPECT_EQ(names(), before);

    // A file whose mode forbids writing is refused, even to the superuser, and stays.
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    Boxes boxes;
    EXPECT_FALSE(w.openwr());
    EXPECT_EQ(w.syserr(), EACCES);
    EXPECT_FALSE(w.openwr(Wmode::inplace));
    EXPECT_EQ(readbytes(path), old);
    EXPECT_EQ(names(), before);
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);

    // Finished: one rename puts it in place, normalized; the user's song.tmp is untouched.
    ASSERT_TRUE(w.openwr());
    for (int i = 0; i < 3; ++i) w.wrframe(300, -300);
    w.finish(false, 0);
    ASSERT_TRUE(w.normalize(2048));
    ASSERT_TRUE(w.commit());
    EXPECT_EQ(sampleat(readbytes(path), 0), 600);
    EXPECT_EQ(names(), before);
    EXPECT_EQ(readbytes(dir.file("song.tmp")), (Bytes{1, 2, 3}));

    // Through a symbolic link the link's target is replaced and the link kept.
    const std::string target = dir.file("target.wav"), link = dir.file("link.wav");
    ASSERT_TRUE(writebytes(target, old));
    std::filesystem::create_symlink(target, link);
    Cwavfil l(link);
    writeframes(l, {{5, 5}});
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(readbytes(target).size(), 48u);
}

TEST(Cwavfil, ARecordingKeepsItsSizesUpToDateEverySecond)
{
    Tempdir dir;
    const std::string path = dir.file("take1.wav");
    Cwavfil w(path);
    ASSERT_TRUE(w.openwr(Wmode::inplace));
    std::vector<uint8_t> second(Cwavfil::BUFBYTES, 1);
    w.wrblock(second.data(), int(second.size()));
    w.wrblock(second.data(), int(second.size()));
    // Not closed: what a kill would leave is a playable file of two seconds.
    const Bytes b = readbytes(path);
    ASSERT_EQ(b.size(), 44u + 2 * Cwavfil::BUFBYTES);
    EXPECT_EQ(u32at(b, 40), 2u * Cwavfil::BUFBYTES);
    EXPECT_EQ(u32at(b, 4), 2u * Cwavfil::BUFBYTES + 36);
    EXPECT_TRUE(w.closewr(false, 0));
}

TEST(Cwavfil, FailedNormalizeLeavesTheOriginalAndNoTemporary)
{
    Tempdir dir;
    const std::string path = dir.file("short.wav");
    Cwavfil w(path);
    writeframes(w, {{100, 100}, {200, 200}});
    const Bytes before = readbytes(path);
    w.nframes = 10;   // more frames than the file holds: the read comes up short
    Boxes boxes;
    EXPECT_FALSE(w.normalize(2048));
    EXPECT_EQ(boxes.texts(), std::vector<std::string>{"Cwavfil::normalize\nError while rescaling WAVE file"});
    EXPECT_EQ(readbytes(path), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

    boxes.clear();
    Cwavfil gone(dir.file("gone.wav"));
    EXPECT_FALSE(gone.normalize(2048));
    EXPECT_EQ(boxes.last().text, "Cwavfil::normalize\nError while rescaling WAVE file");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(Cwavfil, WritesFuzzSeedsWhenAsked)
{
    const char* seeddir = std::getenv("CANTORIX_SEED_DIR");
    if (!seeddir) GTEST_SKIP() << "CANTORIX_SEED_DIR not set";
    const std::string dir = std::string(seeddir) + "/openrd";
    std::filesystem::create_directories(dir);
    EXPECT_TRUE(writebytes(dir + "/stereo.wav", wavbytes({.samples = {1, -1, 300, -300, 32767, -32768}})));
    EXPECT_TRUE(writebytes(dir + "/unfinished.wav", wavbytes({.datasize = 0, .samples = {5, 5, 6}})));
    EXPECT_TRUE(writebytes(dir + "/rate22050.wav", wavbytes({.rate = 22050, .samples = {1, 2, 3, 4}})));
    EXPECT_TRUE(writebytes(dir + "/oversized.wav", wavbytes({.align = 0, .datasize = 0x7ffffff0, .samples = {1, 2}})));
}
