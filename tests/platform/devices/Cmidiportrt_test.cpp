// MIDI output through RtMidi to a real JACK server (dummy backend) that the fixture starts and
// stops; an RtMidi virtual input port on the same server receives what the program sends.
#include "midi/Cmidfil.h"
#include "platform/devices/Cmidiportrt.h"
#include "platform/Cwindow.h"

#include "support/Jackserver.h"
#include "support/Tempdir.h"

#include <gtest/gtest.h>
#include <rtmidi/RtMidi.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using jackfixture::Jackserver;
using jackfixture::Msg;
using jackfixture::Receiver;

Jackserver* g_jack = nullptr;

}  // namespace

class Midiport : public ::testing::Test {
protected:
    static void SetUpTestSuite() { g_jack = new Jackserver; }
    static void TearDownTestSuite()
    {
        delete g_jack;
        g_jack = nullptr;
    }
    void SetUp() override
    {
        if (g_jack->absent) GTEST_SKIP() << "jackd is not installed; the MIDI port tests need it";
        ASSERT_EQ(g_jack->problem, "");
    }
    // Index of the receiver among the ports the program lists.
    static int indexof(const std::string& name)
    {
        const std::vector<std::string> ports = Crtmidi().ports();
        for (size_t i = 0; i < ports.size(); ++i)
            if (ports[i].find(name) != std::string::npos) return int(i);
        return -1;
    }
};

TEST_F(Midiport, IndexCountsThePortsAndMinusOneIsNoPort) {
    Receiver rx;
    Crtmidi sys;
    const size_t count = sys.ports().size();
    ASSERT_GE(count, 1u);
    EXPECT_EQ(sys.open(int(count)), nullptr);
    // -1 is the built-in synthesizer, never the first port (often "Midi Through", where a
    // player would play in silence).
    EXPECT_EQ(sys.open(-1), nullptr);
    std::unique_ptr<Cmidiport> port = sys.open(indexof(rx.name()));
    ASSERT_NE(port, nullptr);
    const Msg on = {0x91, 64, 1};
    port->send(on.data(), on.size());
    EXPECT_EQ(rx.take(1), std::vector<Msg>{on});
}

namespace {
// The player's side of the device messages: releases the long message on MM_MOM_DONE.
struct Playerwin : Cwindow {
    Cmidfil* mid = nullptr;
    std::vector<unsigned> msgs;
    std::vector<intptr_t> params;
    void handle(unsigned msg, uintptr_t, intptr_t lparam) override
    {
        msgs.push_back(msg);
        params.push_back(lparam);
        if (msg == MM_MOM_DONE) mid->release();
    }
};
}  // namespace

TEST_F(Midiport, FileEventsGoOutAsStoredAndStopSilencesEveryChannel) {
    Tempdir dir;
    // Format 0, one track, 96 ticks per quarter: note on, program change, channel pressure (once
    // more under running status), pitch bend, a system exclusive event of length 5, note off.
    const Bytes smf = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96,
                       'M', 'T', 'r', 'k', 0, 0, 0, 32,
                       0, 0x90, 60, 100, 0, 0xC2, 5, 0, 0xD1, 64, 0, 64, 0, 0xE1, 0, 0x40,
                       0, 0xF0, 5, 0x7E, 0x7F, 0x09, 0x01, 0xF7,
                       0, 0x80, 60, 0, 0, 0xFF, 0x2F, 0};
    ASSERT_TRUE(writebytes(dir.file("gm.mid"), smf));
    Cmidfil mid(dir.file("gm.mid"));
    ASSERT_TRUE(mid.rdmidi());

    Receiver rx;
    Crtmidi rt;
    Cmidisys* prev = setmidisys(&rt);
    Cmsgloop loop;
    Playerwin win;
    win.mid = &mid;
    ASSERT_TRUE(mid.open(&win, indexof(rx.name())));
    for (Cmidiev* ev = mid.track(0)->first; ev; ev = ev->next) {
        if (ev->kind() == 0) mid.sendshort(ev);
        if (ev->kind() == 1) {
            mid.sendlong(ev);
            EXPECT_NE(mid.mohdr.data, nullptr);
            loop.pumpuntil([&] { return mid.mohdr.data == nullptr; });   // released on DONE
        }
    }
    mid.notesoff();
    mid.close();
    EXPECT_EQ(mid.hmo, nullptr);
    mid.close();   // closing twice does nothing
    loop.pump();
    setmidisys(prev);

    std::vector<Msg> want = {{0x90, 60, 100}, {0xC2, 5}, {0xD1, 64}, {0xD1, 64}, {0xE1, 0, 0x40},
                             {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, {0x80, 60, 0}};
    for (uint8_t ch = 0; ch < 16; ++ch) {
        want.push_back({uint8_t(0xB0 | ch), 123, 0});
        want.push_back({uint8_t(0xB0 | ch), 120, 0});
    }
    EXPECT_EQ(rx.take(want.size()), want);
    EXPECT_EQ(win.msgs, (std::vector<unsigned>{MM_MOM_OPEN, MM_MOM_DONE, MM_MOM_CLOSE}));
    EXPECT_EQ(win.params[1], intptr_t(&mid.mohdr));
}

TEST_F(Midiport, OpenFailsWithoutAPort) {
    Cmidfil mid("none.mid");
    Playerwin win;
    win.mid = &mid;
    Cmsgloop loop;
    Cmidisys* prev = setmidisys(nullptr);
    EXPECT_FALSE(mid.open(&win, -1));
    Crtmidi rt;
    setmidisys(&rt);
    EXPECT_FALSE(mid.open(&win, 1000));
    EXPECT_EQ(mid.hmo, nullptr);
    mid.sendshort(nullptr);   // nothing open: nothing sent, nothing posted
    mid.notesoff();
    setmidisys(prev);
    loop.pump();
    EXPECT_TRUE(win.msgs.empty());
}

TEST(Midiportlength, ShortMessagesTakeTheirStatusLength) {
    const struct { uint8_t status; size_t n; } cases[] = {
        {0x80, 3}, {0x9F, 3}, {0xA0, 3}, {0xB5, 3}, {0xC0, 2}, {0xDF, 2}, {0xE0, 3},
        {0xF1, 2}, {0xF2, 3}, {0xF3, 2}, {0xF6, 1}, {0xF8, 1}, {0xFF, 1},
    };
    for (const auto& c : cases) EXPECT_EQ(shortlength(c.status), c.n) << int(c.status);
}
