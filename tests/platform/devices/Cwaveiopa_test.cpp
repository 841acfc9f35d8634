// Wave output and input through PortAudio on a real ALSA device: the tests' own ALSA
// configuration (alsa-file.conf) makes "default" a file plugin over the null plugin, so what is
// played lands in a file and what is recorded comes from one.
#include "audio/Cwavfil.h"
#include "platform/devices/Cwaveiopa.h"
#include "platform/Cwindow.h"

#include "support/Sounddata.h"
#include "support/Tempdir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using namespace std::chrono_literals;

Bytes wavfile(uint32_t rate, const Bytes& data)
{
    Bytes b = {'R', 'I', 'F', 'F'};
    auto le = [&](uint32_t v, int n) {
        for (int i = 0; i < n; ++i) b.push_back(uint8_t(v >> (8 * i)));
    };
    le(36 + uint32_t(data.size()), 4);
    for (char c : std::string("WAVEfmt ")) b.push_back(uint8_t(c));
    le(16, 4), le(1, 2), le(2, 2), le(rate, 4), le(rate * 4, 4), le(4, 2), le(16, 2);
    for (char c : std::string("data")) b.push_back(uint8_t(c));
    le(uint32_t(data.size()), 4);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// What the ALSA file plugin wrote after its header, without the device's silence.
Bytes played(const Bytes& raw, size_t skip = 0)
{
    Bytes b;
    for (size_t i = skip; i < raw.size(); ++i)
        if (raw[i] != 0) b.push_back(raw[i]);
    return b;
}

// A dialog playing or recording one file, handling the device messages as the tools do.
struct Deck : Cwindow {
    Cwavfil* wav = nullptr;
    std::vector<unsigned> msgs;
    std::vector<intptr_t> params;
    bool stoprec = false;
    void handle(unsigned msg, uintptr_t, intptr_t lparam) override
    {
        msgs.push_back(msg);
        params.push_back(lparam);
        if (!wav) return;
        if (msg == MM_WOM_OPEN) wav->refill();
        if (msg == MM_WOM_DONE && wav->hwo) {
            wav->refill();
            if (wav->outdone()) {
                wav->refill();   // after the end a refill changes nothing
                EXPECT_TRUE(wav->outdone());
                wav->closeout();
                wav->close();
            }
        }
        if (msg == MM_WIM_DATA) wav->recdata(reinterpret_cast<Wavehdr*>(lparam));
        if (msg == MM_WIM_CLOSE) wav->closewr(false, 0);
    }
    int count(unsigned m) const { return int(std::count(msgs.begin(), msgs.end(), m)); }
    bool got(unsigned m) const { return count(m) > 0; }
};

class Wavedev : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // ctest sets this; a direct run of the executable gets the same configuration.
        setenv("ALSA_CONFIG_PATH",
               "/usr/share/alsa/alsa.conf:" CANTORIX_SOURCE_DIR "/tests/platform/alsa-file.conf", 0);
    }
    void SetUp() override
    {
        m_prev = setwavesys(&m_pa);
        setenv("CANTORIX_PLAYFILE", m_dir.file("played.raw").c_str(), 1);
        setenv("CANTORIX_RECFILE", m_dir.file("input.raw").c_str(), 1);
        unsetenv("CANTORIX_PLAYFORMAT");
    }
    void TearDown() override { setwavesys(m_prev); }

    // Plays a WAVE file of the given data through the default device; returns the deck.
    void play(uint32_t rate, const Bytes& data, Deck& deck, Cwavfil& wav)
    {
        ASSERT_TRUE(writebytes(wav.path(), wavfile(rate, data)));
        deck.wav = &wav;
        ASSERT_TRUE(wav.openrd());
        ASSERT_TRUE(wav.openout(&deck, -1));
        m_loop.pumpuntil([&] { return deck.got(MM_WOM_CLOSE); });
    }

    Cmsgloop m_loop;
    Tempdir m_dir;
    Cpawave m_pa;
    Cwavesys* m_prev = nullptr;
};

}  // namespace

TEST_F(Wavedev, PlaysEveryByteOfTheFileInOrder) {
    // Shorter than one block, exactly two blocks (two seconds), and three blocks with a short one.
    const struct { size_t frames; int blocks; } cases[] = {{1000, 1}, {88200, 2}, {100000, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frames);
        const Bytes data = noise(c.frames * 4, uint32_t(c.frames));
        Deck deck;
        Cwavfil wav(m_dir.file("song.wav"));
        play(44100, data, deck, wav);
        EXPECT_EQ(played(readbytes(m_dir.file("played.raw"))), data);
        // Every block sent comes back once, alternating between the two headers.
        ASSERT_GE(deck.msgs.size(), 2u);
        EXPECT_EQ(deck.msgs.front(), unsigned(MM_WOM_OPEN));
        EXPECT_EQ(deck.msgs.back(), unsigned(MM_WOM_CLOSE));
        EXPECT_EQ(deck.count(MM_WOM_DONE), c.blocks);
        for (int i = 0; i < c.blocks; ++i)
            EXPECT_EQ(deck.params[size_t(1 + i)], intptr_t(&wav.hdr[i % 2]));
        EXPECT_EQ(wav.frpos, int32_t(c.frames));
        EXPECT_EQ(wav.hwo, nullptr);
        EXPECT_EQ(wav.hdr[0].data, nullptr);
    }
}

TEST_F(Wavedev, PlayedBlocksComeBackThroughTheirMessagesOnly) {
    // The device plays both blocks of the first refill at once, while the user-interface thread
    // is busy: until their messages are handled they are not done, so no refill or end test
    // can mistake them for blocks the file had nothing left for.
    const Bytes data = noise(size_t(Cwavfil::BUFBYTES) * 3, 11);
    Deck deck;
    Cwavfil wav(m_dir.file("three.wav"));
    ASSERT_TRUE(writebytes(wav.path(), wavfile(44100, data)));
    deck.wav = &wav;
    ASSERT_TRUE(wav.openrd());
    ASSERT_TRUE(wav.openout(&deck, -1));
    m_loop.pumpuntil([&] { return deck.got(MM_WOM_OPEN); });   // both blocks sent
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(wav.hdr[0].done());
    EXPECT_FALSE(wav.hdr[1].done());
    EXPECT_FALSE(wav.outdone());
    m_loop.pumpuntil([&] { return deck.got(MM_WOM_CLOSE); });
    EXPECT_EQ(played(readbytes(m_dir.file("played.raw"))), data);
    EXPECT_EQ(deck.count(MM_WOM_DONE), 3);
}

TEST_F(Wavedev, PlaysAFileAtItsOwnSampleRate) {
    setenv("CANTORIX_PLAYFORMAT", "wav", 1);   // the plugin's file then records the stream's rate
    const Bytes data = noise(22050 * 4 * 3, 7);   // three seconds at 22050 Hz: two blocks
    Deck deck;
    Cwavfil wav(m_dir.file("low.wav"));
    play(22050, data, deck, wav);
    const Bytes raw = readbytes(m_dir.file("played.raw"));
    ASSERT_GT(raw.size(), 44u);
    const uint32_t rate = raw[24] | raw[25] << 8 | raw[26] << 16 | uint32_t(raw[27]) << 24;
    EXPECT_EQ(rate, 22050u);
    EXPECT_EQ(played(raw, 44), data);
    EXPECT_EQ(deck.count(MM_WOM_DONE), 2);
}

TEST_F(Wavedev, OpeningAMissingDeviceFailsAndLeavesNoHandle) {
    Deck deck;
    Cwavfil wav(m_dir.file("x.wav"));
    deck.wav = &wav;
    wav.setformat();
    EXPECT_FALSE(wav.openout(&deck, 7));
    EXPECT_EQ(wav.hwo, nullptr);
    EXPECT_FALSE(wav.openin(&deck, 7));
    EXPECT_EQ(wav.hwi, nullptr);
    EXPECT_EQ(wav.hdr[0].data, nullptr);
    EXPECT_FALSE(wav.playbuf(&wav.hdr[0]));
    wav.closeout();   // closing what is not open does nothing
    setwavesys(nullptr);
    EXPECT_FALSE(wav.openout(&deck, -1));   // no device layer installed
    m_loop.pump();
    EXPECT_TRUE(deck.msgs.empty());
}

TEST_F(Wavedev, PreviewSendsBlocksFilledByTheCaller) {
    Deck deck;
    Cwavfil wav(m_dir.file("mix.wav"));
    deck.wav = nullptr;   // the preview handles no message itself
    wav.setformat();
    ASSERT_TRUE(wav.openout(&deck, 0));   // device 0 is the first with output channels
    uint8_t* a = wav.freebuf();
    ASSERT_EQ(a, wav.hdr[0].data.get());
    const Bytes first = noise(Cwavfil::BUFBYTES, 1), second = noise(Cwavfil::BUFBYTES, 2);
    std::copy(first.begin(), first.end(), a);
    ASSERT_TRUE(wav.sendbuf(a));
    uint8_t* b = wav.hdr[1].data.get();
    std::copy(second.begin(), second.end(), b);
    ASSERT_TRUE(wav.sendbuf(b));
    m_loop.pumpuntil([&] { return deck.count(MM_WOM_DONE) == 2; });
    EXPECT_TRUE(wav.outdone());
    EXPECT_NE(wav.freebuf(), nullptr);
    wav.closeout();
    m_loop.pump();
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(played(readbytes(m_dir.file("played.raw"))), both);
    EXPECT_EQ(deck.msgs.back(), unsigned(MM_WOM_CLOSE));
}

TEST_F(Wavedev, RecordsTheInputInOrder) {
    const Bytes input = noise(size_t(Cwavfil::BUFBYTES) * 4, 99);
    ASSERT_TRUE(writebytes(m_dir.file("input.raw"), input));
    Deck deck;
    Cwavfil wav(m_dir.file("take1.wav"));
    deck.wav = &wav;
    ASSERT_TRUE(wav.openwr());
    ASSERT_TRUE(wav.openin(&deck, -1));
    m_loop.pumpuntil([&] { return deck.count(MM_WIM_DATA) >= 2; });
    EXPECT_TRUE(wav.closein());
    EXPECT_EQ(wav.hwi, nullptr);
    m_loop.pumpuntil([&] { return deck.got(MM_WIM_CLOSE); });
    EXPECT_EQ(deck.msgs.front(), unsigned(MM_WIM_OPEN));
    EXPECT_EQ(deck.msgs.back(), unsigned(MM_WIM_CLOSE));
    EXPECT_EQ(deck.params[1], intptr_t(&wav.hdr[0]));
    EXPECT_EQ(deck.params[2], intptr_t(&wav.hdr[1]));
    EXPECT_EQ(wav.failed(), Wverr::none);

    // The first two blocks are the input's first two seconds; whatever followed is whole frames.
    const Bytes file = readbytes(wav.path());
    const size_t two = size_t(Cwavfil::BUFBYTES) * 2;
    ASSERT_GE(file.size(), 44 + two);
    EXPECT_EQ(file.size(), 44 + size_t(wav.nframes) * 4);
    EXPECT_TRUE(std::equal(input.begin(), input.begin() + long(two), file.begin() + 44));
}

TEST_F(Wavedev, StoppingKeepsBlocksWhoseMessagesAreStillQueued) {
    const Bytes input = noise(size_t(Cwavfil::BUFBYTES) * 3, 5);
    ASSERT_TRUE(writebytes(m_dir.file("input.raw"), input));
    Deck deck;
    Cwavfil wav(m_dir.file("take2.wav"));
    deck.wav = &wav;
    ASSERT_TRUE(wav.openwr());
    ASSERT_TRUE(wav.openin(&deck, -1));
    // Both blocks fill while the user-interface thread is busy; then Stop is pressed.
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (!(wav.hdr[0].done() && wav.hdr[1].done()) && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(wav.hdr[1].done());
    EXPECT_TRUE(wav.closein());
    m_loop.pumpuntil([&] { return deck.got(MM_WIM_CLOSE); });
    EXPECT_EQ(deck.count(MM_WIM_DATA), 2);   // they found emptied headers and stored nothing
    const Bytes file = readbytes(wav.path());
    const size_t two = size_t(Cwavfil::BUFBYTES) * 2;
    ASSERT_EQ(file.size(), 44 + two);
    EXPECT_TRUE(std::equal(input.begin(), input.begin() + long(two), file.begin() + 44));
    EXPECT_EQ(file[40] | file[41] << 8 | file[42] << 16, int(two));
}

namespace {

// Renders a sequence of frames that never repeats within a minute, and counts what it was asked.
struct Counter : Crenderer {
    std::atomic<int64_t> frames{0};
    std::atomic<int> calls{0};
    std::atomic<int> oddsize{0};   // calls for another number of frames than the period
    int period = 0;
    void render(int16_t* out, int n) override
    {
        const int64_t at = frames.load(std::memory_order_relaxed);
        for (int i = 0; i < n; ++i) {
            const uint32_t v = uint32_t(at + i);
            out[2 * i] = int16_t(1 + v % 30000);
            out[2 * i + 1] = int16_t(-1 - int32_t(v / 30000 % 30000));
        }
        if (n != period) oddsize.fetch_add(1, std::memory_order_relaxed);
        calls.fetch_add(1, std::memory_order_relaxed);
        frames.store(at + n, std::memory_order_release);
    }
};

}  // namespace

TEST_F(Wavedev, PulledStreamPlaysWhatTheRendererGivesInPeriodsUntilDestroyed) {
    Counter r;
    r.period = 512;
    std::unique_ptr<Cstream> s = m_pa.openstream(-1, Waveformat{}, 512, r);
    ASSERT_NE(s, nullptr);
    EXPECT_GT(s->latency(), 0.0);
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (r.frames.load() < 3 * 44100 && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(1ms);
    s.reset();
    const int64_t rendered = r.frames.load(std::memory_order_acquire);
    ASSERT_GE(rendered, 3 * 44100);
    EXPECT_EQ(r.oddsize.load(), 0);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(r.frames.load(), rendered);   // no callback after the destruction

    // The device got the rendered frames in order, after the silence it starts with: all of
    // them but what the abort dropped.
    const Bytes raw = readbytes(m_dir.file("played.raw"));
    ASSERT_EQ(raw.size() % 4, 0u);
    size_t lead = 0;
    while (lead < raw.size() && raw[lead] == 0) lead += 4;
    const size_t n = (raw.size() - lead) / 4;
    EXPECT_GE(n, size_t(rendered) - 4 * 512);
    ASSERT_LE(n, size_t(rendered));
    size_t wrong = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* f = raw.data() + lead + 4 * i;
        const int16_t l = int16_t(f[0] | f[1] << 8), rr = int16_t(f[2] | f[3] << 8);
        wrong += l != int16_t(1 + i % 30000) || rr != int16_t(-1 - int32_t(i / 30000 % 30000));
    }
    EXPECT_EQ(wrong, 0u);

    EXPECT_EQ(m_pa.openstream(7, Waveformat{}, 512, r), nullptr);   // no such device
    EXPECT_EQ(m_pa.openstream(-1, Waveformat{}, 0, r), nullptr);
}
