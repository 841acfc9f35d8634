// The audio mixer's Preview and Play through PortAudio on a real ALSA device: the tests' ALSA
// configuration (tests/platform/alsa-file.conf) writes what is played to a file. The device
// messages go through a message loop that the test pumps, as the user-interface thread would.
#include "app/tools/Caumixer.h"

#include "platform/Cshell.h"
#include "platform/devices/Cwaveiopa.h"
#include "support/Boxes.h"
#include "tools/Mixfiles.h"

#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// What the ALSA file plugin wrote, without the device's silence (zero bytes before, after and in
// the gaps of underruns); the tests' data never holds a zero byte.
Bytes played(const Bytes& raw)
{
    Bytes b;
    for (uint8_t v : raw)
        if (v != 0) b.push_back(v);
    return b;
}

bool nozero(int v) { return (v & 0xff) && ((v >> 8) & 0xff); }

// Samples whose bytes are never zero, neither as they are nor at half volume.
Samples noise(int nframes, uint32_t seed)
{
    Samples s;
    while (s.size() < size_t(nframes) * 2) {
        seed = seed * 1664525u + 1013904223u;
        const int v = int(int16_t(seed >> 16));
        if (nozero(uint16_t(v)) && nozero(uint16_t(v * 50 / 100))) s.push_back(int16_t(v));
    }
    return s;
}

Bytes le(const Samples& s)
{
    Bytes b;
    for (int16_t v : s) putle(b, uint16_t(v), 2);
    return b;
}

class Mixdevice : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        setenv("ALSA_CONFIG_PATH",
               "/usr/share/alsa/alsa.conf:" CANTORIX_SOURCE_DIR "/tests/platform/alsa-file.conf", 0);
    }
    void SetUp() override
    {
        m_prev = setwavesys(&m_pa);
        setenv("CANTORIX_PLAYFILE", dir.file("played.raw").c_str(), 1);
        unsetenv("CANTORIX_PLAYFORMAT");
        ctx.settings.workdir = dir.path();
        dlg = std::make_unique<Caumixer>(ctx);
    }
    void TearDown() override
    {
        dlg.reset();
        setwavesys(m_prev);
    }
    // Browses channel c to a file of samples s (none: only the name).
    void choose(int c, const std::string& name, const Samples* s)
    {
        if (s) {
            ASSERT_TRUE(writebytes(dir.file(name), wavbytes(*s)));
        }
        script.answer(dir.file(name));
        dlg->ctl(c).browse->click();
    }
    void waitready()
    {
        loop.pumpuntil([&] { return dlg->engine().state == Cmixeng::ready; });
        loop.pump();   // the device's closing message finds the dialog idle
    }

    Cmsgloop loop;
    Cscriptshell script;
    Tempdir dir;
    Boxes boxes;
    Cpawave m_pa;
    Cwavesys* m_prev = nullptr;
    Ccontext ctx;
    std::unique_ptr<Caumixer> dlg;
};

}  // namespace

TEST_F(Mixdevice, PreviewPlaysTheMixAndFollowsTheSliders)
{
    const Samples s = noise(4 * 44100, 11);
    choose(1, "in.wav", &s);
    choose(0, "out.wav", nullptr);
    dlg->button("preview")->click();
    ASSERT_EQ(dlg->engine().state, Cmixeng::previewing) << boxes.last().text;
    EXPECT_TRUE(dlg->button("stop")->isEnabled());
    EXPECT_FALSE(dlg->button("mix")->isEnabled());
    EXPECT_TRUE(dlg->ctl(1).vol->isEnabled());
    // The first two seconds went out at full volume; the next ones take the slider's 50 %.
    dlg->ctl(1).vol->setValue(10);
    waitready();
    Samples want = s;
    for (size_t i = 2 * 88200; i < want.size(); ++i) want[i] = int16_t(want[i] * 50 / 100);
    const Bytes got = played(readbytes(dir.file("played.raw"))), expect = le(want);
    ASSERT_EQ(got.size(), expect.size());
    EXPECT_TRUE(got == expect) << "first difference at byte "
                               << std::mismatch(got.begin(), got.end(), expect.begin()).first - got.begin();
    EXPECT_EQ(dlg->status()->text(), "");
    EXPECT_FALSE(exists(dir.file("out.wav")));   // a preview writes nothing
    EXPECT_EQ(dlg->engine().chan[1].file->fd, -1);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Mixdevice, PlayPlaysTheOutputFile)
{
    const Samples out = noise(2 * 44100 + 3000, 5);
    const Samples in = noise(100, 1);
    choose(1, "in.wav", &in);
    choose(0, "out.wav", &out);
    ASSERT_TRUE(dlg->button("play")->isEnabled());
    dlg->button("play")->click();
    ASSERT_EQ(dlg->engine().state, Cmixeng::playing);
    EXPECT_FALSE(dlg->button("play")->isEnabled());
    EXPECT_FALSE(dlg->ctl(1).vol->isEnabled());
    waitready();
    EXPECT_EQ(played(readbytes(dir.file("played.raw"))), le(out));
    EXPECT_EQ(dlg->engine().chan[0].file->fd, -1);
    EXPECT_EQ(dlg->engine().chan[0].file->hwo, nullptr);
    EXPECT_TRUE(dlg->button("play")->isEnabled());
}

TEST_F(Mixdevice, StopEndsPreviewAndPlay)
{
    const Samples in = noise(10 * 44100, 3), out = noise(10 * 44100, 4);
    choose(1, "in.wav", &in);
    choose(0, "out.wav", &out);
    for (const char* start : {"preview", "play"}) {
        SCOPED_TRACE(start);
        dlg->button(start)->click();
        ASSERT_NE(dlg->engine().state, Cmixeng::ready);
        dlg->button("stop")->click();
        EXPECT_EQ(dlg->engine().state, Cmixeng::ready);
        EXPECT_EQ(dlg->engine().chan[0].file->hwo, nullptr);
        EXPECT_EQ(dlg->engine().chan[0].file->fd, -1);
        EXPECT_EQ(dlg->engine().chan[1].file->fd, -1);
        loop.pump();   // blocks handed back by the stop reach an idle dialog
        EXPECT_EQ(dlg->engine().state, Cmixeng::ready);
    }
    EXPECT_TRUE(boxes.empty());
}
