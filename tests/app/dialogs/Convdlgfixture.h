#pragma once
// A converter dialog on its own application context: working folder in a temporary folder, the
// small real bank, Qt delivering the render thread's messages, boxes captured and file dialogs
// answered from a script.
#include "app/Fixtures.h"
#include "app/Guitest.h"
#include "app/dialogs/Cconvdlg.h"
#include "platform/Cshell.h"
#include "app/qt/Cqtface.h"
#include "support/Boxes.h"
#include "support/Tempdir.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

inline const char* const REALBANK = "/usr/share/sounds/sf2/TimGM6mb.sf2";
inline const std::string EXAMPLE = std::string(CANTORIX_SOURCE_DIR) + "/examples/greensleeves.kar";

// The main window as the dialog sees it: counts WM_REFRESH.
struct Fakemain : Cwindow {
    int refreshes = 0;
    void handle(unsigned msg, uintptr_t, intptr_t) override { refreshes += msg == WM_REFRESH; }
};

// Handles Qt events until done() holds or ms milliseconds have passed; returns done().
template <class Pred> bool waitfor(Pred done, int ms = 60000)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) {
        // Sleeps in the event loop until something arrives, at most 10 ms at a time.
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

// The 16-bit samples of a canonical WAVE file and its header sizes.
struct Wavedata {
    uint32_t riff = 0, data = 0;
    size_t size = 0;
    int maxabs = 0;
    size_t frames = 0;
};

inline Wavedata readwave(const std::string& path)
{
    const Bytes b = readbytes(path);
    Wavedata w;
    w.size = b.size();
    if (b.size() < 44) return w;
    auto u32 = [&](size_t o) { return uint32_t(b[o]) | uint32_t(b[o + 1]) << 8 | uint32_t(b[o + 2]) << 16 | uint32_t(b[o + 3]) << 24; };
    w.riff = u32(4);
    w.data = u32(40);
    for (size_t i = 44; i + 1 < b.size(); i += 2) {
        const int v = int16_t(uint16_t(b[i] | b[i + 1] << 8));
        w.maxabs = std::max(w.maxabs, std::abs(v));
    }
    w.frames = (b.size() - 44) / 4;
    return w;
}

class Convdlg : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_prevpump = setdispatch(&m_pump);
        Csettings& s = ctx.settings;
        s.progdir = dir.path();
        s.workdir = dir.path();
        s.bankpath = REALBANK;
        s.compressed = false;
        s.convdefaults();
    }
    void TearDown() override { setdispatch(m_prevpump); }

    static void click(Cconvdlg& d, int id) { static_cast<QAbstractButton*>(d.control(id))->click(); }
    static bool enabled(Cconvdlg& d, int id) { return d.control(id)->isEnabled(); }
    // Runs a whole conversion from Convert to the handled end message.
    static bool convertall(Cconvdlg& d)
    {
        click(d, Cconvdlg::IDCONVERT);
        if (d.state() != Cconvdlg::CONVERTING) return false;
        return waitfor([&] { return !d.converting(); });
    }
    std::string midi(const std::string& name, const Bytes& events)
    {
        const std::string p = dir.file(name);
        writebytes(p, midifile(events));
        return p;
    }

    Tempdir dir;
    Ccontext ctx{uint64_t(256) << 20};
    Fakemain mainwin;
    Boxes boxes;
    Cscriptshell shell;
    Cqtpump m_pump;
    Cdispatch* m_prevpump = nullptr;
};
