// Play of a WAVE result through PortAudio on a real ALSA device: the tests' own ALSA
// configuration (tests/platform/alsa-file.conf) makes "default" a file plugin over the null
// plugin, so what the dialog plays lands in a file.
#include "app/tools/Cmp3conv.h"

#include "app/Fixtures.h"
#include "app/Guitest.h"
#include "platform/devices/Cwaveiopa.h"
#include "app/qt/Cqtface.h"
#include "support/Boxes.h"
#include "support/Tempdir.h"

#include <QElapsedTimer>
#include <QPushButton>
#include <QRegularExpression>
#include <QThread>
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

namespace {

// Sample bytes that are never 0, so the device's silence can be told apart from the data.
Bytes noise(size_t n)
{
    Bytes b(n);
    uint32_t seed = 12345;
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        b[i] = uint8_t(1 + (seed >> 24) % 255);
    }
    return b;
}

struct Mp3play : ::testing::Test {
    Tempdir dir;
    Ccontext ctx;
    Boxes boxes;
    Cqtpump pump;
    Cpawave pa;
    Cdispatch* prevpump = nullptr;
    Cwavesys* prevwave = nullptr;

    void SetUp() override
    {
        setenv("ALSA_CONFIG_PATH", "/usr/share/alsa/alsa.conf:" CANTORIX_SOURCE_DIR "/tests/platform/alsa-file.conf", 0);
        setenv("CANTORIX_PLAYFILE", dir.file("played.raw").c_str(), 1);
        unsetenv("CANTORIX_PLAYFORMAT");
        prevpump = setdispatch(&pump);
        prevwave = setwavesys(&pa);
        ctx.settings.progdir = dir.path();
        ctx.settings.workdir = dir.path();
    }
    void TearDown() override
    {
        setwavesys(prevwave);
        setdispatch(prevpump);
    }
    // A WAVE result of the given sample bytes, set up as the output of a decode.
    std::string result(Cmp3conv& d, const Bytes& data)
    {
        Bytes w = wavefile(2, 44100, uint32_t(data.size() / 4));
        std::copy(data.begin(), data.end(), w.begin() + 44);
        EXPECT_TRUE(writebytes(dir.file("out.wav"), w));
        EXPECT_TRUE(writebytes(dir.file("in.mp3"), Bytes{0xFF, 0xFB}));
        d.dropfiles({QString::fromStdString(dir.file("in.mp3"))});
        d.dropfiles({QString::fromStdString(dir.file("out.wav"))});
        return dir.file("out.wav");
    }
};

}  // namespace

TEST_F(Mp3play, PlaysTheWaveResultToTheEndAndReturnsToReady)
{
    Cmp3conv d(ctx, nullptr);
    d.show();
    const Bytes data = noise(4 * 44100 * 5 / 2);   // 2.5 seconds
    result(d, data);
    d.playbutton()->click();
    ASSERT_TRUE(boxes.empty()) << boxes.last().text;
    EXPECT_EQ(d.state(), Cmp3conv::PLAYING);
    EXPECT_TRUE(d.playing());
    EXPECT_FALSE(d.acceptDrops());
    EXPECT_TRUE(d.abortbutton()->isEnabled());
    EXPECT_FALSE(d.convertbutton()->isEnabled() || d.playbutton()->isEnabled() || d.inbrowse()->isEnabled());
    EXPECT_TRUE(shot(&d, "mp3conv_playing"));

    std::set<QString> shown;
    QElapsedTimer t;
    t.start();
    while (d.state() == Cmp3conv::PLAYING && t.elapsed() < 20000) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents();
        shown.insert(d.status());
        QThread::msleep(1);
    }
    EXPECT_EQ(d.state(), Cmp3conv::READY);
    EXPECT_FALSE(d.playing());
    EXPECT_TRUE(d.acceptDrops());
    EXPECT_TRUE(d.playbutton()->isEnabled());
    // The progress follows the blocks handed to the device: 2 of 2.5 seconds after the first
    // block came back, all of them after the next. The status shows position and length,
    // "mm:ss / mm:ss", the length truncated to whole seconds (the unpaced device may finish
    // before a block leaves time to show it).
    EXPECT_GE(d.progress(), 80);
    for (const QString& s : shown) {
        if (s.isEmpty()) continue;
        EXPECT_TRUE(QRegularExpression("^00:0[0-2] / 00:02$").match(s).hasMatch()) << s.toStdString();
    }

    // Every sample byte reached the device, in order.
    const Bytes raw = readbytes(dir.file("played.raw"));
    Bytes played;
    for (uint8_t b : raw)
        if (b) played.push_back(b);
    EXPECT_EQ(played, data);
}

TEST_F(Mp3play, AbortStopsPlayback)
{
    Cmp3conv d(ctx, nullptr);
    d.show();
    result(d, noise(4 * 44100 * 30));
    d.playbutton()->click();
    ASSERT_EQ(d.state(), Cmp3conv::PLAYING);
    d.abortbutton()->click();
    EXPECT_EQ(d.state(), Cmp3conv::READY);
    EXPECT_FALSE(d.playing());
    EXPECT_TRUE(d.acceptDrops());
    // The device's last messages arrive after the player is gone and change nothing.
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(5);
    }
    EXPECT_EQ(d.state(), Cmp3conv::READY);

    // Escape while playing stops the device before the dialog ends.
    d.playbutton()->click();
    ASSERT_EQ(d.state(), Cmp3conv::PLAYING);
    d.reject();
    EXPECT_FALSE(d.playing());
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(d.result(), QDialog::Rejected);
    EXPECT_FALSE(ctx.wave);
    EXPECT_TRUE(boxes.empty());
}
