#include "bank/Cstore.h"

#include "bank/Bankmaker.h"
#include "bank/Ccompsf.h"
#include "bank/Cpacker.h"
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

}  // namespace

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
