// The live synthesizer with a real bank: messages in periods, samples loaded before play or on
// the worker, the voice limit, hush, and its buses against the converter's for a whole file.
#include "bank/Bankmaker.h"
#include "bank/Csf2file.h"
#include "convert/Ccontext.h"
#include "convert/Csequen.h"
#include "synth/Cvoicerun.h"
#include "bank/Cstore.h"
#include "midi/Cmidfil.h"
#include "midi/Ctimeline.h"
#include "midi/Midicodes.h"
#include "settings/Csettings.h"
#include "synth/Clive.h"
#include "midi/Midbytes.h"
#include "support/Tempdir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <thread>
#include <vector>

// Allocations and frees of the thread that renders, while it renders: the test binary's own
// operator new and delete count them when the thread's flag is set.
namespace {
thread_local bool counting = false;
std::atomic<long> allocs{0}, frees{0};

void* tryallocate(std::size_t n, std::size_t align) noexcept
{
    if (counting) allocs.fetch_add(1, std::memory_order_relaxed);
    void* p = nullptr;
    return posix_memalign(&p, std::max(align, sizeof(void*)), n ? n : 1) == 0 ? p : nullptr;
}
void* allocate(std::size_t n, std::size_t align)
{
    if (void* p = tryallocate(n, align)) return p;
    throw std::bad_alloc();
}
void deallocate(void* p)
{
    if (p && counting) frees.fetch_add(1, std::memory_order_relaxed);
    std::free(p);
}
} // namespace

void* operator new(std::size_t n) { return allocate(n, alignof(std::max_align_t)); }
void* operator new[](std::size_t n) { return allocate(n, alignof(std::max_align_t)); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate(n, size_t(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate(n, size_t(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept
{
    return tryallocate(n, alignof(std::max_align_t));
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept
{
    return tryallocate(n, alignof(std::max_align_t));
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return tryallocate(n, size_t(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return tryallocate(n, size_t(a));
}
void operator delete(void* p, const std::nothrow_t&) noexcept { deallocate(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { deallocate(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { deallocate(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { deallocate(p); }
void operator delete(void* p) noexcept { deallocate(p); }
void operator delete[](void* p) noexcept { deallocate(p); }
void operator delete(void* p, std::size_t) noexcept { deallocate(p); }
void operator delete[](void* p, std::size_t) noexcept { deallocate(p); }
void operator delete(void* p, std::align_val_t) noexcept { deallocate(p); }
void operator delete[](void* p, std::align_val_t) noexcept { deallocate(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { deallocate(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { deallocate(p); }

namespace {

const char* const SMALLBANK = "/usr/share/sounds/sf2/TimGM6mb.sf2";
const std::string SONG = std::string(CANTORIX_SOURCE_DIR) + "/examples/greensleeves.kar";

// Whether the real bank and the real karaoke file the file-based tests play are there.
bool havesong() { return std::filesystem::exists(SMALLBANK) && std::filesystem::exists(SONG); }

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
    for (int i = 0; i < 20; ++i) a.period(260);
    EXPECT_EQ(a.live->holding(), 0);
    ASSERT_GT(energy(a.dry, 0, 2 * 260), 0.0);

    // Nothing announced (another store, nothing loaded): the note and the message after it wait
    // for the worker, then play from the start of a later period, as the prepared note did.
    Liverig b;
    ASSERT_TRUE(b.live);
    b.send({0xC0, 73});
    b.send({0x90, 72, 100});
    b.period(260);
    EXPECT_EQ(b.live->holding(), 1);
    b.send({0xB0, 7, 90});
    b.awaitloads(260);
    ASSERT_EQ(b.live->holding(), 0);
    const size_t from = b.dry.size() - 2 * 260;   // the period in which the note started
    EXPECT_EQ(energy(b.dry, 0, from), 0.0);
    for (int i = 0; i < 19; ++i) b.period(260);
    ASSERT_EQ(b.dry.size() - from, a.dry.size());
    for (size_t i = 0; i < a.dry.size(); ++i) ASSERT_EQ(b.dry[from + i], a.dry[i]) << i;
}

TEST(Clive, PresetZonesPlayOnlyTheNotesTheirRangesHold)
{
    // The tiny bank's ramp, looped, in preset zones of one instrument: below velocity 64 an
    // octave up, from 64 as it is. Each note must sound exactly as the one zone holding it does
    // alone.
    auto bank = [](bool low, bool high) {
        Sf2parts p = tinybank();
        Bytes pbag, pgen;
        if (low) {
            add16(pbag, uint16_t(pgen.size() / 4)), add16(pbag, 0);
            add16(pgen, 44), add16(pgen, 63 << 8);   // velocities 0..63
            add16(pgen, 51), add16(pgen, 12);        // coarse tune +12
            add16(pgen, 41), add16(pgen, 0);
        }
        if (high) {
            add16(pbag, uint16_t(pgen.size() / 4)), add16(pbag, 0);
            add16(pgen, 44), add16(pgen, 64 | 127 << 8);
            add16(pgen, 41), add16(pgen, 0);
        }
        const uint16_t zones = uint16_t(pbag.size() / 4);
        add16(pbag, uint16_t(pgen.size() / 4)), add16(pbag, 0);
        add16(pgen, 0), add16(pgen, 0);
        p.pdtachunk("pbag").body = pbag;
        p.pdtachunk("pgen").body = pgen;
        Bytes& phdr = p.pdtachunk("phdr").body;
        phdr[38 + 24] = uint8_t(zones);              // the terminal preset's first bag
        // The instrument's zone loops its ramp, so that the notes last.
        Bytes igen;
        add16(igen, 54), add16(igen, 1);
        add16(igen, 53), add16(igen, 0);
        add16(igen, 0), add16(igen, 0);
        p.pdtachunk("igen").body = igen;
        return p.assemble();
    };
    Tempdir dir;
    ASSERT_TRUE(writebytes(dir.file("split.sf2"), bank(true, true)));
    ASSERT_TRUE(writebytes(dir.file("low.sf2"), bank(true, false)));
    ASSERT_TRUE(writebytes(dir.file("high.sf2"), bank(false, true)));
    auto play = [&](const char* name, int vel) {
        Liverig r(dir.file(name).c_str());
        EXPECT_TRUE(r.live);
        if (!r.live) return std::vector<float>{};
        r.send({0xC0, 5});
        r.send({0x90, 60, uint8_t(vel)});
        r.awaitloads(256);
        for (int i = 0; i < 8; ++i) r.period(256);
        // From the note's first sound: the period it starts in, and where in that period, depend
        // on when the worker loaded it.
        const auto first = std::find_if(r.dry.begin(), r.dry.end(), [](float x) { return x != 0; });
        std::vector<float> from(first, r.dry.end());
        from.resize(2 * 6 * 256);
        return from;
    };
    for (int vel : {40, 100}) {
        const std::vector<float> split = play("split.sf2", vel), alone = play(vel < 64 ? "low.sf2" : "high.sf2", vel);
        ASSERT_GT(energy(alone), 0.0);
        EXPECT_EQ(split, alone) << "velocity " << vel;
    }
}

namespace {

// Where the converter dispatches each channel event: the block loop of Csequen and the channel
// advance of Cchanseq, walked without rendering. An event t ticks ahead of a channel is played
// after (int)(t * samples per tick) samples; blocks of BLOCKLEN and tempo changes cut the runs
// exactly as there. After the last event every channel gets all-notes-off.
struct Cdue {
    int64_t at;
    uint8_t msg[3];
    int len;
};

// Besides the events: where the converter starts new render calls on every channel (tempo
// changes, blocks, the tail), each the start of a new control step.
std::vector<Cdue> schedule(const Cmidfil& file, std::vector<int64_t>& restarts)
{
    Ctimeline chans[16], tempos;
    const int32_t endtick = Ctimeline::buildrender(file, chans, tempos);
    const int division = file.division;
    double spt = 0, tps = 0;
    auto settempo = [&](double usq) {
        spt = Ctimeline::samplespertick(usq, division);
        tps = Ctimeline::tickspersample(usq, division);
    };
    settempo(Ctimeline::scaled(Ctimeline::STARTTEMPO, 0));
    std::vector<Cdue> due;
    auto play = [&](int64_t at, const Cmidiev& ev) {
        Cdue d{at, {uint8_t(ev.status()), uint8_t(ev.data1()), uint8_t(ev.data2())}, 3};
        if (ev.command() == midicmd::program || ev.command() == midicmd::chanpressure) d.len = 2;
        due.push_back(d);
    };
    struct Cpos {
        double tick = 0;
        const Cnode* cursor = nullptr;
    } pos[16];
    for (int c = 0; c < 16; ++c) pos[c].cursor = chans[c].first;
    auto advance = [&](int c, int n, int64_t at) {
        Cpos& p = pos[c];
        int done = 0;
        while (done < n) {
            if (!p.cursor || p.tick >= chans[c].last->ev->time) {
                for (; p.cursor; p.cursor = p.cursor->next) play(at + done, *p.cursor->ev);
                return;
            }
            const double ahead = p.cursor->ev->time - p.tick;
            if (ahead <= 0) {
                play(at + done, *p.cursor->ev);
                p.cursor = p.cursor->next;
                continue;
            }
            const double until = ahead * spt;
            const int k = until >= n - done ? n - done : int(until);
            if (k > 0) {
                done += k;
                p.tick += k * tps;
            } else {
                play(at + done, *p.cursor->ev);
                p.cursor = p.cursor->next;
            }
        }
    };
    constexpr int BLOCKLEN = 220500;
    double tick = 0;
    const Cnode* tempo = tempos.first;
    int64_t base = 0;
    int s = 0;
    while (tick < endtick) {
        int c = BLOCKLEN - s;
        if (tempo) {
            const double until = (tempo->ev->time - tick) * spt;
            if (until < c) c = until > 0 ? int(until) : 0;
        }
        if (c > 0) {
            for (int ch = 0; ch < 16; ++ch)
                if (chans[ch].first) advance(ch, c, base + s);
            tick += c * tps;
            s += c;
        } else if (s == BLOCKLEN) {
            base += BLOCKLEN;
            s = 0;
            restarts.push_back(base);
        } else {
            if (tempo->ev->tempo()) settempo(Ctimeline::scaled(tempo->ev->tempo(), 0));
            tempo = tempo->next;
            restarts.push_back(base + s);
        }
    }
    restarts.push_back(base + s);
    std::stable_sort(due.begin(), due.end(), [](const Cdue& a, const Cdue& b) { return a.at < b.at; });
    for (int ch = 0; ch < 16; ++ch)
        if (chans[ch].first) due.push_back(Cdue{base + s, {uint8_t(0xB0 | ch), midictl::allnotesoff, 0}, 3});
    return due;
}

// Plays a file through the converter and, in step with it, through a live engine fed the
// file's events at the samples where the converter dispatches them, in periods of at most
// `period` frames cut at every event; compares the six buses of both before the effects.
// With `only` set, both play that channel alone, and the live periods are cut only where the
// converter starts a new render call for it (its events, tempo changes, blocks) and `period`
// (a whole number of control steps) after each such point.
struct Cbuscheck {
    int only = -1;
    std::vector<int64_t> restarts;
    size_t nextrestart = 0;
    int64_t phase = 0;         // where the live engine's control steps were last in step
    double maxdiff = 0, peak = 0;
    Ccontext ctx{uint64_t(1) << 30};
    std::unique_ptr<Clive> live;
    std::vector<Cdue> due;
    size_t next = 0;
    int period = 512;
    int64_t livepos = 0;       // frames the live engine has rendered
    int64_t tapped = 0;        // frames of live buses compared
    int64_t convpos = 0;       // first frame of the converter's block being compared
    const Ceffects* conv = nullptr;
    int64_t compared = 0, differing = 0;
    std::string first;         // the first difference

    bool load(const char* bankpath, const std::string& midipath)
    {
        ctx.bank = std::make_unique<Csf2file>(bankpath, &ctx.store);
        if (!ctx.bank->rdfile() || !ctx.loadmidi(midipath)) return false;
        Csettings::set(ctx.settings.voicelimit, 0);
        if (only >= 0)
            for (int ch = 0; ch < 16; ++ch) ctx.mixer[ch].mute = ch != only;
        live = std::make_unique<Clive>(ctx.settings, &ctx.mixer, *ctx.bank, ctx.store);
        live->setwholesteps(false);
        Ctimeline events;
        events.buildplayer(*ctx.midi);
        live->prepare(events);
        due = schedule(*ctx.midi, restarts);
        if (only >= 0)
            std::erase_if(due, [this](const Cdue& d) { return (d.msg[0] & 15) != only; });
        live->effects().tapctx = this;
        live->effects().tap = [](void* c, const Ceffects& fx, int n) { static_cast<Cbuscheck*>(c)->check(fx, n); };
        return true;
    }
    // A live chunk of n frames against the converter's block.
    void check(const Ceffects& fx, int n)
    {
        for (int i = 0; i < n; ++i) {
            const int64_t j = tapped + i - convpos;
            for (int b = 0; b < Cbuses::NBUS; ++b) {
                const float x = fx.bus(b)[i], y = conv->bus(b)[j];
                peak = std::max(peak, double(std::fabs(y)));
                if (x == y) continue;
                maxdiff = std::max(maxdiff, double(std::fabs(x - y)));
                if (!differing++)
                    first = "frame " + std::to_string(tapped + i) + " bus " + std::to_string(b) + ": live " +
                            std::to_string(x) + ", converter " + std::to_string(y);
            }
        }
        tapped += n;
        compared += n;
    }
    // The converter is about to process frames [convpos, convpos + n): the live engine renders
    // the same frames.
    void upto(int64_t end)
    {
        std::vector<int16_t> out(2 * size_t(period));
        while (livepos < end) {
            for (; next < due.size() && due[next].at <= livepos; ++next) {
                EXPECT_TRUE(live->post(due[next].msg, size_t(due[next].len)));
                phase = livepos;
            }
            for (; nextrestart < restarts.size() && restarts[nextrestart] <= livepos; ++nextrestart) phase = livepos;
            int64_t stop = std::min<int64_t>(end, (only >= 0 ? phase : livepos) + period);
            if (next < due.size()) stop = std::min(stop, due[next].at);
            if (only >= 0 && nextrestart < restarts.size()) stop = std::min(stop, restarts[nextrestart]);
            live->render(out.data(), int(stop - livepos));
            // A period of whole control steps ends in step: the next one starts in step too.
            if (stop == phase + period) phase = stop;
            livepos = stop;
        }
    }
    void run()
    {
        Csequen seq(ctx);
        seq.synth().voicerun = std::make_shared<Cvoicerun>(false);
        ctx.effects.tapctx = this;
        ctx.effects.tap = [](void* c, const Ceffects& fx, int n) {
            auto& k = *static_cast<Cbuscheck*>(c);
            k.conv = &fx;
            k.upto(k.convpos + n);
            k.convpos += n;
        };
        seq.run();
        ctx.effects.tap = nullptr;
    }
};

} // namespace

// The live engine renders with the converter's own channels and voices. Fed a real file's
// events at the converter's samples, a channel alone gives the same floats on every bus, in
// periods cut where the converter starts its render calls for that channel (rendered exactly,
// without whole steps: the converter starts a new control step at each of a channel's events).
TEST(Clive, BusesEqualTheConvertersForARealFile)
{
    if (!havesong()) GTEST_SKIP() << "bank or file missing";
    const std::string& song = SONG;
    {
        Cmidfil f(song);
        ASSERT_TRUE(f.rdmidi());
        Ctimeline chans[16], tempos;
        Ctimeline::buildrender(f, chans, tempos);
        for (int ch = 0; ch < 16; ++ch) {
            if (!chans[ch].first) continue;
            SCOPED_TRACE(ch);
            Cbuscheck k;
            k.only = ch;
            k.period = 500;
            ASSERT_TRUE(k.load(SMALLBANK, song));
            k.run();
            EXPECT_GT(k.compared, int64_t(44100) * 60);
            EXPECT_EQ(k.compared, k.convpos);
            EXPECT_GT(k.peak, 0.01);
            EXPECT_EQ(k.differing, 0) << k.first;
        }
    }
}

// Whole control steps: however a device cuts its periods, the engine plays the same frames, and
// a message posted before a period takes effect at the first whole step from its start.
TEST(Clive, PeriodSizesDoNotChangeTheSound)
{
    if (!havesong()) GTEST_SKIP() << "bank or file missing";
    const std::string& song = SONG;
    Cmidfil file(song);
    ASSERT_TRUE(file.rdmidi());
    std::vector<int64_t> restarts;
    std::vector<Cdue> due = schedule(file, restarts);
    const int64_t length = 8 * 44100;
    std::erase_if(due, [length](const Cdue& d) { return d.at >= length; });
    ASSERT_GT(due.size(), 20u);
    // periods(): the next period's length; every event's frame also starts a period.
    auto play = [&](auto periods) {
        Liverig r;
        Ctimeline events;
        events.buildplayer(file);
        r.live->prepare(events);
        size_t next = 0;
        for (int64_t pos = 0; pos < length;) {
            for (; next < due.size() && due[next].at <= pos; ++next)
                EXPECT_TRUE(r.live->post(due[next].msg, size_t(due[next].len)));
            int64_t stop = std::min(length, pos + periods());
            if (next < due.size()) stop = std::min(stop, due[next].at);
            r.period(int(stop - pos));
            pos = stop;
        }
        return r.out;
    };
    const std::vector<int16_t> whole = play([] { return 1000; });
    uint32_t seed = 7;
    const std::vector<int16_t> ragged = play([&seed] {
        seed = seed * 1664525u + 1013904223u;
        return int(seed >> 22) + 1;   // 1 .. 1024
    });
    const std::vector<int16_t> short37 = play([] { return 37; });
    ASSERT_EQ(whole.size(), size_t(2 * length));
    double e = 0;
    for (int16_t x : whole) e += double(x) * x;
    EXPECT_GT(e, 0.0);
    EXPECT_TRUE(ragged == whole);
    EXPECT_TRUE(short37 == whole);
}

// The callback never allocates or frees: a real file with a seek's chase (every message but
// notes from the start up to the target at once, as the player sends them), program changes
// nobody announced (built and loaded by the worker while the channel holds its messages), and
// chords denser than the voice objects made ahead.
TEST(Clive, RenderingNeverAllocates)
{
    if (!havesong()) GTEST_SKIP() << "bank or file missing";
    const std::string& song = SONG;
    Cmidfil file(song);
    ASSERT_TRUE(file.rdmidi());
    std::vector<int64_t> restarts;
    const std::vector<Cdue> due = schedule(file, restarts);
    Ctimeline events;
    events.buildplayer(file);
    Liverig r;
    ASSERT_TRUE(r.live);
    r.live->effects().tap = nullptr;
    r.live->prepare(events);
    constexpr int PERIOD = 512;
    std::vector<int16_t> buf(2 * PERIOD);
    double loud = 0;
    int held = 0;   // the most messages held after a period
    allocs = 0;
    frees = 0;
    auto period = [&] {
        counting = true;
        r.live->render(buf.data(), PERIOD);
        counting = false;
        for (int16_t x : buf) loud += double(x) * x;
        held = std::max(held, r.live->holding());
    };
    auto post = [&](const uint8_t* m, size_t n) {
        while (!r.live->post(m, n)) period();   // a full queue empties in the next period
    };
    // Plays [from, to) of the file; at `from` a seek's chase first.
    auto play = [&](int64_t from, int64_t to) {
        size_t next = 0;
        if (from > 0) {
            r.live->hush();
            for (; next < due.size() && due[next].at < from; ++next) {
                const int command = due[next].msg[0] >> 4;
                if (command != midicmd::noteon && command != midicmd::noteoff)
                    post(due[next].msg, size_t(due[next].len));
            }
        }
        for (int64_t pos = from; pos < to; pos += PERIOD) {
            for (; next < due.size() && due[next].at < pos + PERIOD; ++next) post(due[next].msg, size_t(due[next].len));
            period();
        }
    };
    auto settle = [&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            period();
        } while (r.live->holding() > 0 && std::chrono::steady_clock::now() < until);
        EXPECT_EQ(r.live->holding(), 0);
    };
    play(0, 6 * 44100);
    play(20 * 44100, 26 * 44100);
    EXPECT_EQ(held, 0);   // prepared: nothing waits
    play(3 * 44100, 5 * 44100);
    // Presets nobody announced on every melodic channel, each held under its pedal in chords
    // of every key: far more notes at once than the voice objects made ahead.
    loud = 0;
    for (uint8_t ch = 0; ch < 16; ++ch) {
        if (ch == 9) continue;
        const uint8_t pc[] = {uint8_t(0xC0 | ch), uint8_t(16 + ch)}, pedal[] = {uint8_t(0xB0 | ch), 64, 127};
        post(pc, 2);
        post(pedal, 3);
        for (uint8_t k = 0; k < 128; ++k) {
            const uint8_t on[] = {uint8_t(0x90 | ch), k, 100};
            post(on, 3);
        }
    }
    settle();
    // The worker adds voice objects while the pool runs low.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (r.live->poolsize() <= Clive::POOLFIRST && std::chrono::steady_clock::now() < until) period();
    EXPECT_GT(loud, 0.0);
    EXPECT_GT(r.live->poolsize(), Clive::POOLFIRST);
    // Back to the file's own presets, then everything again from a seek.
    play(0, 3 * 44100);
    play(10 * 44100, 14 * 44100);
    EXPECT_EQ(allocs.load(), 0);
    EXPECT_EQ(frees.load(), 0);
}

TEST(Clive, VoiceLimitEndsReleasingVoicesOnly)
{
    if (!std::filesystem::exists(SMALLBANK)) GTEST_SKIP() << SMALLBANK << " is not installed";
    for (int limit : {0, 6}) {
        SCOPED_TRACE(limit);
        Liverig r;
        ASSERT_TRUE(r.live);
        Csettings::set(r.settings.voicelimit, limit);
        r.send({0xC0, 19});   // an organ: its notes hold, and their release is long
        for (int k = 0; k < 16; ++k) r.send({0x90, uint8_t(48 + k), uint8_t(30 + 6 * k)});
        r.awaitloads(500);
        r.period(500);
        const int held = r.live->sounding();
        EXPECT_GE(held, 16);   // held notes are never ended, whatever the limit
        EXPECT_EQ(r.live->limited(), 0);
        for (int k = 0; k < 16; ++k) r.send({0x80, uint8_t(48 + k), 0});
        r.period(500);
        if (limit == 0) {
            EXPECT_EQ(r.live->sounding(), held);
        } else {
            EXPECT_EQ(r.live->sounding(), limit);
            EXPECT_EQ(r.live->limited(), held - limit);
        }
    }
}

TEST(Clive, HushEndsEveryVoiceAndWhatFollowsPlays)
{
    if (!std::filesystem::exists(SMALLBANK)) GTEST_SKIP() << SMALLBANK << " is not installed";
    Liverig r;
    ASSERT_TRUE(r.live);
    for (int k = 0; k < 4; ++k) r.send({0x90, uint8_t(60 + k), 100});
    r.send({0x99, 38, 100});
    r.awaitloads(500);
    r.period(500);
    const int before = r.live->sounding();
    EXPECT_GE(before, 5);
    r.live->hush();
    r.send({0x90, 61, 100});   // after the hush: plays
    r.period(500);
    EXPECT_GE(r.live->sounding(), 1);
    EXPECT_LT(r.live->sounding(), before);
    r.live->hush();
    r.dry.clear();
    r.period(500);
    EXPECT_EQ(r.live->sounding(), 0);
    EXPECT_EQ(energy(r.dry), 0.0);
}

TEST(Clive, PostTakesWholeMessages)
{
    if (!std::filesystem::exists(SMALLBANK)) GTEST_SKIP() << SMALLBANK << " is not installed";
    Liverig r;
    ASSERT_TRUE(r.live);
    struct Case { std::vector<uint8_t> bytes; bool taken; };
    const Case cases[] = {
        {{0x90, 60, 100}, true},  {{0x90, 60}, false},        {{0x90, 60, 100, 1}, false},
        {{0xC5, 3}, true},        {{0xC5, 3, 0}, false},      {{0xD0, 0x7F}, true},
        {{0x90, 0x80, 1}, false}, {{60, 100}, false},         {{}, false},
        {{0xF8}, true},           {{0xF0, 0x7E, 0xF7}, true}, {{0xF7, 1, 2}, true},
    };
    for (const Case& c : cases) EXPECT_EQ(r.live->post(c.bytes.data(), c.bytes.size()), c.taken) << int(c.bytes.size());
    // System exclusive messages take slots until a period has read them; a long one is taken.
    std::vector<uint8_t> sysex(5000, 0x11);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    int taken = 0;
    while (r.live->post(sysex.data(), sysex.size())) ++taken;
    EXPECT_EQ(taken, Clive::SYSEXSLOTS - 2);
    r.period(100);
    EXPECT_TRUE(r.live->post(sysex.data(), sysex.size()));
    // The queue holds QUEUELEN messages between periods.
    const uint8_t on[3] = {0xB0, 7, 100};
    int queued = 0;
    while (r.live->post(on, 3)) ++queued;
    EXPECT_EQ(queued, Clive::QUEUELEN - 1);
    r.period(100);
    EXPECT_TRUE(r.live->post(on, 3));
}
