// The recorder against real devices, driven through its dialog offscreen: the wave input and
// output go through PortAudio to ALSA's file plugin (capture reads a file of ours, play-back is
// written to another); MIDI output is RtMidi's.
#include "app/tools/Crecorder.h"

#include "app/Fixtures.h"
#include "app/Guitest.h"
#include "midi/Midbytes.h"
#include "platform/devices/Cmidiportrt.h"
#include "platform/Ctimer.h"
#include "platform/devices/Cwaveiopa.h"
#include "support/Boxes.h"
#include "support/Sounddata.h"

#include <QPushButton>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace {

using namespace std::chrono_literals;

uint32_t le32(const Bytes& b, size_t at)
{
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// The real PortAudio devices. ALSA's file plugin also writes what a capture stream reads into its
// play file, so the input stream is opened with a play file of its own: the played bytes then
// come from the output stream alone.
class Duplexsys : public Cwavesys {
public:
    std::string inplay, outplay;
    std::unique_ptr<Cwavedev> openout(int device, const Waveformat& fmt, Cwindow* w) override
    {
        setenv("CANTORIX_PLAYFILE", outplay.c_str(), 1);
        return m_pa.openout(device, fmt, w);
    }
    std::unique_ptr<Cwavedev> openin(int device, const Waveformat& fmt, Cwindow* w) override
    {
        setenv("CANTORIX_PLAYFILE", inplay.c_str(), 1);
        return m_pa.openin(device, fmt, w);
    }

private:
    Cpawave m_pa;
};

class Recorderdev : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        setenv("ALSA_CONFIG_PATH",
               "/usr/share/alsa/alsa.conf:" CANTORIX_SOURCE_DIR "/tests/platform/alsa-file.conf", 0);
    }
    void SetUp() override
    {
        m_prevwave = setwavesys(&m_pa);
        m_prevmidi = setmidisys(&m_rt);
        m_pa.outplay = m_dir.file("played.raw");
        m_pa.inplay = m_dir.file("captured.raw");
        unsetenv("CANTORIX_RECFILE");   // silence unless a test gives input
        unsetenv("CANTORIX_PLAYFORMAT");
        ctx.settings.progdir = m_dir.path();
        ctx.settings.workdir = m_dir.path();
    }
    void TearDown() override
    {
        setwavesys(m_prevwave);
        setmidisys(m_prevmidi);
    }
    template <class Pred> bool pumpuntil(Pred done) { return pumpfor(m_loop, done); }
    // The take is finished once its input is closed and its sizes are written.
    bool finished(const Crecorder& r) { return r.take() && !r.take()->hwi && r.take()->fd < 0; }
    // The take's data bytes, after checking that the header's sizes agree with the file.
    Bytes takedata(const Crecorder& r)
    {
        const Bytes file = readbytes(r.outpath());
        EXPECT_GE(file.size(), 44u);
        if (file.size() < 44) return {};
        EXPECT_EQ(le32(file, 40), file.size() - 44);
        EXPECT_EQ(le32(file, 4), file.size() - 8);
        EXPECT_EQ(file.size(), 44 + size_t(r.take()->nframes) * 4);
        return Bytes(file.begin() + 44, file.end());
    }

    Cmsgloop m_loop;
    Tempdir m_dir;
    Duplexsys m_pa;
    Crtmidi m_rt;
    Cwavesys* m_prevwave = nullptr;
    Cmidisys* m_prevmidi = nullptr;
    Ccontext ctx;
    Boxes boxes;
};

}  // namespace

TEST_F(Recorderdev, StoresTheInputWithItsLastPartSecondAndCountsSeconds) {
    // One and a half seconds: both blocks are queued from the start, so nothing of it can be
    // missed, and its last half second ends inside the second block.
    const Bytes input = noise(size_t(Cwavfil::BUFBYTES) * 3 / 2, 7);
    ASSERT_TRUE(writebytes(m_dir.file("input.raw"), input));
    setenv("CANTORIX_RECFILE", m_dir.file("input.raw").c_str(), 1);
    Crecorder r(ctx, nullptr);
    ASSERT_EQ(r.playback(), Crecorder::none);
    r.startbutton()->click();
    ASSERT_EQ(r.state(), Crecorder::recording);
    EXPECT_EQ(r.timetext(), "       00:00");
    EXPECT_FALSE(r.acceptDrops());
    EXPECT_TRUE(r.stopbutton()->isEnabled());
    EXPECT_FALSE(r.startbutton()->isEnabled());
    EXPECT_FALSE(r.playbutton()->isEnabled());
    r.show();
    EXPECT_TRUE(shot(&r, "recorder-recording"));
    ASSERT_TRUE(pumpuntil([&] { return r.take()->nframes >= 2 * 44100; }));
    EXPECT_EQ(r.timetext(), Crecorder::rectext(double(r.take()->nframes) / 44100));
    EXPECT_EQ(r.timetext().left(9), "       00");
    r.stopbutton()->click();
    EXPECT_EQ(r.state(), Crecorder::idle);
    ASSERT_TRUE(finished(r));   // complete as soon as Stop returns: Play may open it at once
    EXPECT_TRUE(r.playbutton()->isEnabled());
    EXPECT_TRUE(r.acceptDrops());
    const Bytes data = takedata(r);
    ASSERT_GE(data.size(), input.size());
    EXPECT_TRUE(std::equal(input.begin(), input.end(), data.begin()));
    EXPECT_TRUE(boxes.all().empty());
}

TEST_F(Recorderdev, StopAtOnceKeepsWhateverTheDeviceFilled) {
    const Bytes input = noise(size_t(Cwavfil::BUFBYTES) * 2, 11);
    ASSERT_TRUE(writebytes(m_dir.file("input.raw"), input));
    setenv("CANTORIX_RECFILE", m_dir.file("input.raw").c_str(), 1);
    Crecorder r(ctx, nullptr);
    r.startbutton()->click();
    ASSERT_EQ(r.state(), Crecorder::recording);
    std::this_thread::sleep_for(20ms);
    r.stopbutton()->click();   // before any block was handed over
    ASSERT_TRUE(finished(r));
    m_loop.pump();   // the queued input messages find nothing more to store
    const Bytes data = takedata(r);
    ASSERT_LE(data.size(), input.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), input.begin()));   // in order, nothing in between lost

    // The next take of this sitting replaces the last without a question; the take is another
    // sitting's for the next recorder, which asks, and Cancel keeps it byte for byte.
    r.startbutton()->click();
    ASSERT_EQ(r.state(), Crecorder::recording);
    r.stopbutton()->click();
    ASSERT_TRUE(finished(r));
    m_loop.pump();
    EXPECT_EQ(boxes.asked(), 0);
    const Bytes kept = readbytes(r.outpath());
    Crecorder next(ctx, nullptr);
    next.startbutton()->click();
    EXPECT_EQ(boxes.asked(), 1);
    EXPECT_EQ(next.state(), Crecorder::idle);
    EXPECT_EQ(readbytes(next.outpath()), kept);
}

TEST_F(Recorderdev, WavePlaybackReachesTheOutputAndEndsTheRecording) {
    const Bytes song = noise(44100 * 4 * 5 / 2, 3);   // two and a half seconds
    ASSERT_TRUE(writebytes(m_dir.file("song.wav"), wavewith(song)));
    ctx.wave = std::make_unique<Cwavfil>(m_dir.file("song.wav"));
    ctx.wavepath = m_dir.file("song.wav");
    ctx.wavetitle = "song.wav";
    Crecorder r(ctx, nullptr);
    ASSERT_EQ(r.playback(), Crecorder::wave);
    r.startbutton()->click();
    ASSERT_EQ(r.state(), Crecorder::recording);
    EXPECT_EQ(r.timetext(), "00:00 / 00:02");
    ASSERT_TRUE(pumpuntil([&] { return r.state() == Crecorder::idle; }));
    EXPECT_EQ(r.timetext(), "00:02 / 00:02");
    // The bar follows the blocks handed to the device at each refill, so on a device that does not
    // pace it may stop one block short of the end.
    EXPECT_GE(r.progress(), 10000 * 2 / 3);
    EXPECT_LE(r.progress(), 10000);
    EXPECT_EQ(ctx.wave->hwo, nullptr);
    EXPECT_EQ(ctx.wave->fd, -1);
    ASSERT_TRUE(pumpuntil([&] { return finished(r); }));
    EXPECT_EQ(nonzero(readbytes(m_dir.file("played.raw"))), song);
    EXPECT_EQ(nonzero(takedata(r)), Bytes{});   // the input was silence
    EXPECT_TRUE(boxes.all().empty());

    // Play of the take, then Close hands it over.
    std::filesystem::remove(m_dir.file("played.raw"));
    const Bytes taken = takedata(r);
    if (!taken.empty()) {
        r.playbutton()->click();
        ASSERT_EQ(r.state(), Crecorder::playing);
        EXPECT_TRUE(shot(&r, "recorder-playing"));
        ASSERT_TRUE(pumpuntil([&] { return r.state() == Crecorder::idle; }));
        EXPECT_EQ(r.take()->hwo, nullptr);
        EXPECT_GE(readbytes(m_dir.file("played.raw")).size(), taken.size());
    }
    r.accept();
    EXPECT_EQ(ctx.wavetitle, "take1.wav");
    EXPECT_EQ(ctx.wave->path(), m_dir.file("take1.wav"));
    m_loop.pump();
}

TEST_F(Recorderdev, StartFailuresOfThePlaybackFinishTheTake) {
    // A play-back file that is not a WAVE file.
    writebytes(m_dir.file("bad.wav"), {'R', 'I', 'F', 'X'});
    ctx.wave = std::make_unique<Cwavfil>(m_dir.file("bad.wav"));
    ctx.wavetitle = "bad.wav";
    {
        Crecorder r(ctx, nullptr);
        boxes.clear();
        r.startbutton()->click();
        EXPECT_EQ(boxes.last().caption, "Invalid Wave file");
        EXPECT_EQ(boxes.last().text,
                  "The WAVE file selected appears to be corrupt\nPlease select another WAVE file and try again");
        EXPECT_EQ(r.state(), Crecorder::idle);
        EXPECT_EQ(r.take()->hwi, nullptr);
        EXPECT_EQ(r.take()->fd, -1);
        EXPECT_EQ(readbytes(r.outpath()).size(), 44u + size_t(r.take()->nframes) * 4);
        m_loop.pump();
    }
    // A MIDI output device that does not exist; the last dialog's take is replaced after a yes.
    boxes.replace(true);
    ctx.wave.reset();
    ctx.midipath = m_dir.file("song.mid");
    ctx.midititle = "song.mid";
    writebytes(ctx.midipath, Midbytes(96, 0).track({0, 0x90, 60, 100, 0x60, 0x80, 60, 0, 0, 0xFF, 0x2F, 0}).bytes());
    ASSERT_TRUE(::loadmidi(ctx.midi, ctx.midipath, ctx.mixer));
    ctx.settings.midiout = 999;
    {
        Crecorder r(ctx, nullptr);
        ASSERT_EQ(r.playback(), Crecorder::midi);
        boxes.clear();
        r.startbutton()->click();
        ASSERT_GE(boxes.count(), 1u);
        EXPECT_EQ(boxes.last().caption, "MIDI output busy");
        EXPECT_EQ(boxes.last().icon, Boxicon::error);
        EXPECT_EQ(boxes.last().text, "The MIDI output device is not ready. Possible causes:\n1) There is another "
                                     "application using the device\n2) Your computer doesn't have MIDI output "
                                     "capabilities\n3) Your computer doesn't support full-duplex operation\n   "
                                     "(Playing a MIDI/Kar file while recording a wave)");
        EXPECT_EQ(r.state(), Crecorder::idle);
        EXPECT_EQ(r.take()->hwi, nullptr);
        EXPECT_EQ(r.take()->fd, -1);
        EXPECT_EQ(timeperiods(), 0);
        m_loop.pump();
    }
}
