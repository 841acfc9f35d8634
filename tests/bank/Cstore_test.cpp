#include "bank/Cstore.h"

#include "bank/Bankmaker.h"
#include "bank/Ccompsf.h"
#include "bank/Cpacker.h"
#include "convert/Ccontext.h"
#include "convert/Csequen.h"
#include "midi/Midbytes.h"
#include "platform/Cwindow.h"
#include "settings/Csettings.h"
#include "support/Boxes.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct Cfixture {
    Tempdir dir;
    std::string sf2 = dir.file("tiny.sf2");
    std::string csf = dir.file("tiny.csf");
    int64_t now = 100;
    Cfixture()
    {
        writebytes(sf2, tinybank().assemble());
        Csf2file src(sf2);
        Caudio audio;
        EXPECT_TRUE(src.rdfile() && Cpacker::rdaudio(src, audio));
        EXPECT_TRUE(Cpacker::wrfile(src, audio, csf));
    }
    Cstore::Clock clock()
    {
        return [this] { return now; };
    }
};

std::vector<int16_t> points(const int16_t* p, size_t n) { return std::vector<int16_t>(p, p + n); }

std::vector<int16_t> ramp(size_t n)
{
    std::vector<int16_t> r;
    for (size_t i = 0; i < n; ++i) r.push_back(int16_t(i * 100 - 1600));
    return r;
}

// One preset (bank 0, program 5) whose instrument plays a looping sample of its own on each of
// the keys 40 .. 40 + n - 1.
Bytes densebank(int n, int points)
{
    Sf2parts p = tinybank();
    Bytes smpl, shdr, ibag, igen, inst = name20("Dense");
    for (int s = 0; s < n; ++s) {
        const uint32_t start = uint32_t(smpl.size() / 2);
        for (int i = 0; i < points; ++i) add16(smpl, uint16_t(int16_t((i * (s + 3)) % 200 * 100 - 10000)));
        smpl.insert(smpl.end(), 46, 0);
        const Bytes r = shdrrec("S" + std::to_string(s), start, start + points, start + 8, start + points - 8, 44100);
        shdr.insert(shdr.end(), r.begin(), r.end());
        add16(ibag, uint16_t(igen.size() / 4)), add16(ibag, 0);
        add16(igen, 43), add16(igen, uint16_t((40 + s) << 8 | (40 + s)));
        add16(igen, 54), add16(igen, 1);   // loop
        add16(igen, 53), add16(igen, uint16_t(s));
    }
    add16(ibag, uint16_t(igen.size() / 4)), add16(ibag, 0);
    add16(igen, 0), add16(igen, 0);
    const Bytes eos = shdrrec("EOS", 0, 0, 0, 0, 0, 0);
    shdr.insert(shdr.end(), eos.begin(), eos.end());
    add16(inst, 0);
    const Bytes eoi = name20("EOI");
    inst.insert(inst.end(), eoi.begin(), eoi.end());
    add16(inst, uint16_t(n));
    p.sdta = {{"smpl", smpl}};
    p.pdtachunk("inst").body = inst;
    p.pdtachunk("ibag").body = ibag;
    p.pdtachunk("igen").body = igen;
    p.pdtachunk("shdr").body = shdr;
    return p.assemble();
}

}  // namespace

TEST(Cstore, SoundingVoicesKeepTheirSamplesWhateverTheBudget)
{
    // 48 samples of 16 kB each; the store may hold three of them. Every key is struck in turn
    // and held, so each new note wants room that sounding notes use: their audio must stay
    // (AddressSanitizer builds catch a voice reading freed audio), the new notes play silent.
    constexpr int N = 48, POINTS = 8000;
    Tempdir dir;
    ASSERT_TRUE(writebytes(dir.file("dense.sf2"), densebank(N, POINTS)));
    Bytes t;
    auto add = [&](uint32_t delta, std::initializer_list<uint8_t> b) {
        t = Midbytes::cat({t, Midbytes::vlq(delta), Bytes(b)});
    };
    add(0, {0xC0, 5});
    for (int k = 0; k < N; ++k) add(10, {0x90, uint8_t(40 + k), 100});
    for (int k = 0; k < N; ++k) add(k ? 0 : 2000, {0x80, uint8_t(40 + k), 0});
    for (int k = N - 1; k >= 0; --k) add(20, {0x90, uint8_t(40 + k), 100});
    add(2000, {0xB0, 123, 0});
    add(0, {0xFF, 0x2F, 0});
    ASSERT_TRUE(writebytes(dir.file("dense.mid"), Midbytes(96).track(t).bytes()));

    Ccontext ctx(3 * (POINTS * 2 + 46) + 100);
    ctx.settings.bankpath = dir.file("dense.sf2");
    ctx.bank = std::make_unique<Csf2file>(ctx.settings.bankpath, &ctx.store);
    ASSERT_TRUE(ctx.bank->rdfile());
    ASSERT_TRUE(ctx.loadmidi(dir.file("dense.mid")));
    ctx.setwave(dir.file("dense.wav"));
    struct : Cwindow {
        void handle(unsigned, uintptr_t, intptr_t) override {}
    } win;
    Csequen seq(ctx);
    seq.setwindow(&win);
    ASSERT_TRUE(ctx.wave->openwr());
    seq.run();
    ctx.effects.setoutput(nullptr);
    ASSERT_TRUE(ctx.wave->closewr(false, 0));
    EXPECT_GT(ctx.wave->peak, 0);
    EXPECT_LE(ctx.store.inuse(), ctx.store.budget());
    // Every voice gave its sample back when it ended.
    for (const Sfshdr& smp : ctx.bank->shdrs) EXPECT_EQ(smp.pins, 0u) << smp.name;
}

TEST(Cstore, BudgetIsBoundedByTheAudioTheBankHolds)
{
    // Sample headers that all claim the whole sample data chunk: the budget stays at about the
    // chunk, whatever the store was given.
    Tempdir dir;
    Sf2parts p = tinybank();
    Bytes shdr = shdrrec("Ramp", 0, 0x7FFFFFFF, 8, 24);
    const Bytes flat = shdrrec("Flat", 55, 0x7FFFFFFF, 55, 70), eos = shdrrec("EOS", 0, 0, 0, 0, 0, 0);
    shdr.insert(shdr.end(), flat.begin(), flat.end());
    shdr.insert(shdr.end(), eos.begin(), eos.end());
    p.pdtachunk("shdr").body = shdr;
    ASSERT_TRUE(writebytes(dir.file("big.sf2"), p.assemble()));
    Cstore store(uint64_t(1) << 30, nullptr);
    {
        Csf2file bank(dir.file("big.sf2"), &store);
        ASSERT_TRUE(bank.rdfile());
        const uint64_t chunk = 32 * 2 + 46 + 16 * 2 + 46;
        EXPECT_EQ(store.budget(), chunk + 3 * 46);
        for (Sfshdr& s : bank.shdrs) store.request(s);
        EXPECT_LE(store.inuse(), store.budget());
        // The bank writer refuses to copy overlapping samples.
        Caudio audio;
        Boxes boxes;
        EXPECT_FALSE(Cpacker::rdaudio(bank, audio));
        EXPECT_EQ(boxes.texts().size(), 1u);
    }
    EXPECT_EQ(store.budget(), uint64_t(1) << 30);
}

TEST(Cstore, PlainAndCodedLoadsGiveTheSamePointsAndZeroPadding)
{
    Cfixture fx;
    Cstore store(1 << 20, nullptr, fx.clock());
    Csf2file plain(fx.sf2, &store);
    Ccompsf coded(fx.csf, &store);
    ASSERT_TRUE(plain.rdfile());
    ASSERT_TRUE(coded.rdfile());
    ASSERT_EQ(coded.shdrs.size(), 3u);
    EXPECT_NE(coded.shdrs[0].ppb, 0u);
    EXPECT_EQ(coded.shdrs[0].loopend, 24u);
    for (Csf2file* bank : {&plain, static_cast<Csf2file*>(&coded)}) {
        const int16_t* a = store.request(bank->shdrs[0]);
        ASSERT_NE(a, nullptr);
        std::vector<int16_t> want = ramp(32);
        want.insert(want.end(), Cstore::PAD, 0);
        EXPECT_EQ(points(a, 32 + Cstore::PAD), want);
        EXPECT_EQ(bank->shdrs[0].lastuse, 100);
    }
    EXPECT_EQ(store.inuse(), 2u * (32 * 2 + 46));
    EXPECT_EQ(store.count(), 2u);
}

TEST(Cstore, RaisedCountReadsOnIntoFollowingData)
{
    Cfixture fx;
    Cstore store(1 << 20, nullptr, fx.clock());
    Csf2file plain(fx.sf2, &store);
    Ccompsf coded(fx.csf, &store);
    ASSERT_TRUE(plain.rdfile() && coded.rdfile());
    // Plain audio: the ramp, its 23 zero points, then the second sample's points.
    EXPECT_EQ(store.raise(plain.shdrs[0], 60), 60u);
    const int16_t* a = store.request(plain.shdrs[0]);
    EXPECT_EQ(a[54], 0);
    EXPECT_EQ(a[55], 1000);
    EXPECT_EQ(a[59], 1004);
    EXPECT_EQ(store.raise(plain.shdrs[0], 100), 60u);   // loaded: left as it is
    // The last sample cannot read past the file's end.
    EXPECT_LT(store.raise(plain.shdrs[1], 1u << 30), 1u << 20);
    // Coded audio: only the coded points are decoded, the rest are zeros.
    EXPECT_EQ(store.raise(coded.shdrs[1], 40), 40u);
    const int16_t* c = store.request(coded.shdrs[1]);
    EXPECT_EQ(c[15], 1015);
    for (int i = 16; i < 40 + int(Cstore::PAD); ++i) EXPECT_EQ(c[i], 0) << i;
}

TEST(Cstore, EvictsLeastRecentlyUsedWithinBudget)
{
    Cfixture fx;
    const uint64_t ramp = 32 * 2 + 46, flat = 16 * 2 + 46;
    Cstore store(ramp + flat + 10, nullptr, fx.clock());
    Csf2file a(fx.sf2, &store), b(fx.sf2, &store);
    ASSERT_TRUE(a.rdfile() && b.rdfile());
    store.request(a.shdrs[0]);               // t 100
    fx.now = 101;
    store.request(a.shdrs[1]);               // t 101
    EXPECT_EQ(store.inuse(), ramp + flat);
    fx.now = 102;
    store.request(a.shdrs[0]);               // refresh only: nothing loaded
    EXPECT_EQ(a.shdrs[0].lastuse, 102);
    EXPECT_EQ(store.count(), 2u);
    fx.now = 103;
    store.request(b.shdrs[1]);               // needs room: a's Flat (t 101) is the oldest
    EXPECT_EQ(a.shdrs[1].audio, nullptr);
    EXPECT_NE(a.shdrs[0].audio, nullptr);
    EXPECT_EQ(store.inuse(), ramp + flat);
    fx.now = 104;
    store.request(b.shdrs[0]);               // a's ramp (t 102) is now the oldest
    EXPECT_EQ(a.shdrs[0].audio, nullptr);
    EXPECT_NE(b.shdrs[1].audio, nullptr);
    EXPECT_LE(store.inuse(), store.budget());
    // Ties go to the first found, the most recently loaded.
    Cstore tie(ramp + flat + 10, nullptr, [] { return int64_t(5); });
    store.clear();
    tie.request(a.shdrs[1]);
    tie.request(b.shdrs[1]);
    tie.request(a.shdrs[0]);                 // one Flat must go; both were used at 5
    EXPECT_NE(a.shdrs[0].audio, nullptr);
    EXPECT_NE(a.shdrs[1].audio, nullptr);
    EXPECT_EQ(b.shdrs[1].audio, nullptr);    // the most recently loaded is found first
    tie.clear();
}

TEST(Cstore, BankReleasesItsSamples)
{
    Cfixture fx;
    Cstore store(1 << 20, nullptr, fx.clock());
    Csf2file keep(fx.sf2, &store);
    ASSERT_TRUE(keep.rdfile());
    store.request(keep.shdrs[1]);
    {
        Ccompsf gone(fx.csf, &store);
        ASSERT_TRUE(gone.rdfile());
        for (Sfshdr& s : gone.shdrs) store.request(s);
        EXPECT_EQ(store.count(), 4u);
    }
    EXPECT_EQ(store.count(), 1u);
    EXPECT_EQ(store.inuse(), 16u * 2 + 46);
}

TEST(Cstore, FailedLoadsAreSilentAndReportedOnlyWhenAsked)
{
    Cfixture fx;
    Csettings settings;
    for (bool show : {false, true}) {
        SCOPED_TRACE(show);
        Csettings::set(settings.showerrors, show);
        Cstore store(1 << 20, &settings, fx.clock());
        Ccompsf coded(fx.csf, &store);
        ASSERT_TRUE(coded.rdfile());
        Boxes boxes;
        // Coded audio shorter than its header says.
        Sfshdr& s = coded.shdrs[0];
        s.cbytes = 1;
        const int16_t* a = store.request(s);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(points(a, 32 + Cstore::PAD), std::vector<int16_t>(32 + Cstore::PAD, 0));
        // Plain audio at an offset past the file's end.
        Sfshdr& p = coded.shdrs[1];
        p.ppb = 0;
        p.offset = 1 << 30;
        a = store.request(p);
        EXPECT_EQ(points(a, 16 + Cstore::PAD), std::vector<int16_t>(16 + Cstore::PAD, 0));
        // More than the whole budget: silent, and nothing past the padding to read.
        Cstore small(64, &settings, fx.clock());
        Sfshdr big = coded.shdrs[0];
        big.audio = nullptr;
        a = small.request(big);
        EXPECT_EQ(big.ptsload, 0u);
        EXPECT_EQ(a[Cstore::PAD - 1], 0);
        small.clear();
        if (show) {
            const std::string name = "Sample:Ramp";
            EXPECT_EQ(boxes.texts(), (std::vector<std::string>{name, "Sample:Flat", name}));
            EXPECT_EQ(boxes.last().caption, "Error loading sample");
            EXPECT_EQ(boxes.last().owner, nullptr);
        } else {
            EXPECT_TRUE(boxes.empty());
        }
    }
}
