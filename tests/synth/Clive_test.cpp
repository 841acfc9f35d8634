// The live synthesizer with a real bank: messages in periods, samples loaded before play or on
// the worker, the voice limit, hush, and its buses against the converter's for a whole file.
#include "bank/Csf2file.h"
#include "bank/Cstore.h"
#include "midi/Cmidfil.h"
#include "midi/Ctimeline.h"
#include "midi/Midicodes.h"
#include "settings/Csettings.h"
#include "synth/Clive.h"
#include "midi/Midbytes.h"
#include "support/Tempdir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

const char* const SMALLBANK = "/usr/share/sounds/sf2/TimGM6mb.sf2";

// A live engine on a real bank, with the dry buses of every chunk it renders collected.
struct Liverig {
    Csettings settings;
    Cstore store{uint64_t(1) << 30, nullptr};
    Csf2file bank;
    std::unique_ptr<Clive> live;
    std::vector<float> dry;          // left and right dry bus, interleaved, before the effects
    std::vector<int16_t> out;        // the frames played

    explicit Liverig(const char* path = SMALLBANK) : bank(path, &store)
    {
        if (!bank.rdfile()) return;
        live = std::make_unique<Clive>(settings, nullptr, bank, store);
        live->effects().tapctx = this;
        live->effects().tap = [](void* ctx, const Ceffects& fx, int n) {
            auto& r = *static_cast<Liverig*>(ctx);
            for (int i = 0; i < n; ++i) {
                r.dry.push_back(fx.bus(Cbuses::DRYL)[i]);
                r.dry.push_back(fx.bus(Cbuses::DRYR)[i]);
            }
        };
    }
    void send(std::initializer_list<uint8_t> m)
    {
        const std::vector<uint8_t> b(m);
        ASSERT_TRUE(live->post(b.data(), b.size()));
    }
    void period(int frames)
    {
        std::vector<int16_t> buf(size_t(2 * frames), int16_t(0x5555));
        live->render(buf.data(), frames);
        out.insert(out.end(), buf.begin(), buf.end());
    }
    // Renders periods until the worker has published what the held messages wait for.
    void awaitloads(int frames)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        do {
            std::this_thread::yield();
            period(frames);
        } while (live->holding() > 0 && std::chrono::steady_clock::now() < until);
    }
};

double energy(const std::vector<float>& x, size_t from = 0, size_t to = SIZE_MAX)
{
    double e = 0;
    for (size_t i = from; i < std::min(to, x.size()); ++i) e += double(x[i]) * x[i];
    return e;
}

} // namespace

TEST(Clive, UnannouncedNoteWaitsForItsSamplesAndThenPlaysAsAPreparedOne)
{
    if (!std::filesystem::exists(SMALLBANK)) GTEST_SKIP() << SMALLBANK << " is not installed";
    // A file with a flute note: the engine prepared from it plays the note from the first period.
    Tempdir dir;
    ASSERT_TRUE(writebytes(dir.file("t.mid"), Midbytes().track({0, 0xC0, 73, 0, 0x90, 72, 100, 0, 0xFF, 0x2F, 0}).bytes()));
    Cmidfil file(dir.file("t.mid"));
    ASSERT_TRUE(file.rdmidi());
    Ctimeline events;
    events.buildplayer(file);

    Liverig a;
    ASSERT_TRUE(a.live);
    a.live->prepare(events);
    a.send({0xC0, 73});
    a.send({0x90, 72, 100});
    a.send({0xB0, 7, 90});
    for (int i = 0; i < 20; ++i) a.period(256);
    EXPECT_EQ(a.live->holding(), 0);
    ASSERT_GT(energy(a.dry, 0, 2 * 256), 0.0);

    // Nothing announced (another store, nothing loaded): the note and the message after it wait
    // for the worker, then play from the start of a later period, as the prepared note did.
    Liverig b;
    ASSERT_TRUE(b.live);
    b.send({0xC0, 73});
    b.send({0x90, 72, 100});
    b.period(256);
    EXPECT_EQ(b.live->holding(), 1);
    b.send({0xB0, 7, 90});
    b.awaitloads(256);
    ASSERT_EQ(b.live->holding(), 0);
    const size_t from = b.dry.size() - 2 * 256;   // the period in which the note started
    EXPECT_EQ(energy(b.dry, 0, from), 0.0);
    for (int i = 0; i < 19; ++i) b.period(256);
    ASSERT_EQ(b.dry.size() - from, a.dry.size());
    for (size_t i = 0; i < a.dry.size(); ++i) ASSERT_EQ(b.dry[from + i], a.dry[i]) << i;
}
