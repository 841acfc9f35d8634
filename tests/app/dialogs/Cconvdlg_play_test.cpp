// The converter dialog's Play through a real wave output device: PortAudio on the tests' ALSA
// file device, which writes what is played into a file.
#include "app/dialogs/Convdlgfixture.h"
#include "platform/devices/Cwaveiopa.h"

#include <QProgressBar>

#include <cstdlib>

namespace {

Bytes nonzero(const Bytes& b, size_t from)
{
    Bytes r;
    for (size_t i = from; i < b.size(); ++i)
        if (b[i]) r.push_back(b[i]);
    return r;
}

class Convdlgplay : public Convdlg {
protected:
    void SetUp() override
    {
        Convdlg::SetUp();
        setenv("ALSA_CONFIG_PATH", "/usr/share/alsa/alsa.conf:" CANTORIX_SOURCE_DIR "/tests/platform/alsa-file.conf", 0);
        setenv("CANTORIX_PLAYFILE", dir.file("played.raw").c_str(), 1);
        unsetenv("CANTORIX_PLAYFORMAT");
        m_prevwave = setwavesys(&m_pa);
    }
    void TearDown() override
    {
        setwavesys(m_prevwave);
        Convdlg::TearDown();
    }
    Cpawave m_pa;
    Cwavesys* m_prevwave = nullptr;
};

}  // namespace

TEST_F(Convdlgplay, PlaysTheConvertedFileAndEndsReady)
{
    ASSERT_TRUE(ctx.loadmidi(midi("note.mid", pianonote())));
    Cconvdlg d(ctx, &mainwin);
    ASSERT_TRUE(convertall(d));
    ASSERT_TRUE(boxes.empty());
    std::vector<int> percents;
    QObject::connect(static_cast<QProgressBar*>(d.control(Cconvdlg::IDPROGRESS)), &QProgressBar::valueChanged,
                     [&](int v) { percents.push_back(v); });

    click(d, Cconvdlg::IDPLAY);
    ASSERT_EQ(d.state(), Cconvdlg::PLAYING);
    EXPECT_FALSE(d.acceptDrops());
    EXPECT_FALSE(enabled(d, Cconvdlg::IDCONVERT));
    EXPECT_TRUE(enabled(d, Cconvdlg::IDABORT));
    EXPECT_FALSE(enabled(d, Cconvdlg::IDPLAY));
    EXPECT_FALSE(enabled(d, Cconvdlg::IDBROWSEWAVE));
    EXPECT_EQ(d.timetext().left(8), "00:00 / ");   // the file's position and length from here on
    EXPECT_TRUE(shot(&d, "convdlg_state3"));
    ASSERT_TRUE(waitfor([&] { return d.state() == Cconvdlg::READY; }));
    EXPECT_TRUE(d.acceptDrops());
    EXPECT_TRUE(enabled(d, Cconvdlg::IDPLAY));
    EXPECT_FALSE(ctx.wave->hwo);
    EXPECT_EQ(ctx.wave->fd, -1);
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.back(), 100);
    EXPECT_TRUE(boxes.empty());

    // Every sample of the file reached the device, in order.
    const Bytes file = readbytes(ctx.wavepath);
    EXPECT_EQ(nonzero(readbytes(dir.file("played.raw")), 0), nonzero(file, 44));
}

TEST_F(Convdlgplay, AbortAndCloseStopPlaying)
{
    ASSERT_TRUE(ctx.loadmidi(midi("note.mid", pianonote())));
    ctx.setwave(dir.file("long.wav"));
    Bytes w = wavefile(2, 44100, 44100 * 6);
    for (size_t i = 44; i < w.size(); i += 2) w[i] = uint8_t(i);
    ASSERT_TRUE(writebytes(ctx.wavepath, w));
    {
        Cconvdlg d(ctx, &mainwin);
        click(d, Cconvdlg::IDPLAY);
        ASSERT_EQ(d.state(), Cconvdlg::PLAYING);
        click(d, Cconvdlg::IDABORT);
        EXPECT_EQ(d.state(), Cconvdlg::READY);
        EXPECT_FALSE(ctx.wave->hwo);
        EXPECT_EQ(ctx.wave->fd, -1);
        // Buffers returned by the stopped device change nothing.
        waitfor([] { return false; }, 50);
        EXPECT_EQ(d.state(), Cconvdlg::READY);
        EXPECT_TRUE(enabled(d, Cconvdlg::IDCONVERT));
    }
    Cconvdlg d(ctx, &mainwin);
    d.show();
    click(d, Cconvdlg::IDPLAY);
    ASSERT_EQ(d.state(), Cconvdlg::PLAYING);
    click(d, Cconvdlg::IDCLOSE);
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_FALSE(ctx.wave->hwo);
    EXPECT_EQ(ctx.wave->fd, -1);
    EXPECT_TRUE(boxes.empty());
}
