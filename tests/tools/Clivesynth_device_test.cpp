// The built-in synthesizer (MIDI output -1) behind the playback engine, on real devices: ALSA's
// file plugin, which takes audio as fast as it comes and writes it to a file, and a JACK server
// with the dummy backend, which keeps real time, where a JACK client of the test's own records
// what PortAudio's JACK client plays.
#include "tools/Clivesynth.h"

#include "convert/Cconvert.h"
#include "convert/Ccontext.h"
#include "platform/Cdevlist.h"
#include "platform/Ctimer.h"
#include "platform/Cwindow.h"
#include "platform/devices/Cmidiportrt.h"
#include "platform/devices/Cwaveiopa.h"
#include "support/Boxes.h"
#include "support/Jackrecorder.h"
#include "support/Jackserver.h"
#include "support/Sounddata.h"
#include "synth/Clive.h"
#include "tools/Cplayeng.h"
#include "tools/Csched.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using jackfixture::Jackrecorder;
using jackfixture::Jackserver;

const char* const BANK = "/usr/share/sounds/sf2/TimGM6mb.sf2";
const char* const SONG = CANTORIX_SOURCE_DIR "/examples/greensleeves.kar";

// The window the engine reports to: hands every message to the engine, counts the ends and the
// syllables that reach it as the lyrics window.
struct Owner : Cwindow {
    Cplayeng* eng = nullptr;
    int ends = 0;
    int syllables = 0;
    void handle(unsigned msg, uintptr_t, intptr_t) override
    {
        if (msg == WM_SYLLABLE) ++syllables;
        else ends += eng->handle(msg) == Cplayeng::Event::ended;
    }
};

// A recording made with the wave input device, handling the input's messages as the recorder.
struct Take : Cwindow {
    Cwavfil* wav = nullptr;
    bool closed = false;
    void handle(unsigned msg, uintptr_t, intptr_t lparam) override
    {
        if (msg == MM_WIM_DATA) wav->recdata(reinterpret_cast<Wavehdr*>(lparam));
        if (msg == MM_WIM_CLOSE) {
            wav->closewr(false, 0);
            closed = true;
        }
    }
};

// What the unpaced device plays, taken from a FIFO as the ALSA file plugin writes it: at many
// times real speed a file would grow by gigabytes, so only the count of non-zero samples and
// the largest magnitude are kept. The reader keeps its end open for the whole test, so the
// plugin's openings never block, and every opening's bytes are counted.
class Played {
public:
    explicit Played(const std::string& path)
    {
        mkfifo(path.c_str(), 0600);
        m_fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        m_thread = std::thread([this] { run(); });
    }
    ~Played()
    {
        m_stop = true;
        m_thread.join();
        if (m_fd >= 0) close(m_fd);
    }
    size_t nonzero() const { return m_nonzero.load(); }
    int peak() const { return m_peak.load(); }
    size_t bytes() const { return m_bytes.load(); }

private:
    void run()
    {
        std::vector<uint8_t> buf(1 << 16);
        uint8_t odd = 0;
        bool hasodd = false;
        while (!m_stop && m_fd >= 0) {
            const ssize_t n = read(m_fd, buf.data(), buf.size());
            if (n <= 0) {
                std::this_thread::sleep_for(1ms);
                continue;
            }
            size_t nz = 0;
            int pk = m_peak.load();
            size_t i = 0;
            if (hasodd) {
                const int v = std::abs(int(int16_t(odd | buf[0] << 8)));
                nz += v != 0, pk = std::max(pk, v), i = 1, hasodd = false;
            }
            for (; i + 1 < size_t(n); i += 2) {
                const int v = std::abs(int(int16_t(buf[i] | buf[i + 1] << 8)));
                nz += v != 0;
                pk = std::max(pk, v);
            }
            if (i < size_t(n)) odd = buf[i], hasodd = true;
            m_nonzero += nz;
            m_peak = pk;
            m_bytes += size_t(n);
        }
    }

    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<size_t> m_nonzero{0}, m_bytes{0};
    std::atomic<int> m_peak{0};
    std::thread m_thread;
};

class Livesynth : public ::testing::Test {
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
        setenv("CANTORIX_PLAYFILE", m_dir.file("played.raw").c_str(), 1);   // the FIFO of m_played
        unsetenv("CANTORIX_RECFILE");
        unsetenv("CANTORIX_PLAYFORMAT");
        ctx.settings.bankpath = BANK;
        ctx.settings.compressed = false;
        ctx.settings.workdir = m_dir.path();
        ctx.settings.midiout = -1;
    }
    void TearDown() override
    {
        setwavesys(m_prevwave);
        setmidisys(m_prevmidi);
    }
    bool havebank() { return access(BANK, R_OK) == 0; }
    template <class Pred> bool pumpuntil(Pred done) { return pumpfor(m_loop, done); }

    Cmsgloop m_loop;
    Tempdir m_dir;
    Played m_played{m_dir.file("played.raw")};
    Cpawave m_pa;
    Crtmidi m_rt;
    Cwavesys* m_prevwave = nullptr;
    Cmidisys* m_prevmidi = nullptr;
    Ccontext ctx{uint64_t(512) << 20};
    Boxes boxes;
};

}  // namespace

TEST_F(Livesynth, PlaysTheKaraokeFileToItsEndOnTheUnpacedDevice) {
    if (!havebank()) GTEST_SKIP() << BANK << " is not installed";
    ASSERT_TRUE(ctx.loadmidi(SONG));
    Owner owner, lyrics;
    {
        Cplayeng eng(ctx, &owner, &owner);
        owner.eng = &eng;
        ASSERT_GT(eng.miditotal(), 60e6);
        // The last ten seconds (its last notes start four seconds before the end): the chase
        // of programs and controllers, then the song's end.
        ASSERT_EQ(eng.playmidi(eng.miditotal() - 10e6, 0, &lyrics), Cplayeng::Start::ok);
        ASSERT_NE(ctx.bank, nullptr);
        EXPECT_TRUE(ctx.bank->loaded);
        ASSERT_TRUE(pumpuntil([&] { return owner.ends > 0; }));
        EXPECT_FALSE(eng.active());
        EXPECT_EQ(ctx.midi->hmo, nullptr);
        EXPECT_EQ(timeperiods(), 0);
        EXPECT_GT(lyrics.syllables, 0);
    }
    EXPECT_EQ(ctx.bank, nullptr);   // the engine's bank went with it
    EXPECT_EQ(boxes.count(), 0u);
    EXPECT_GT(m_played.nonzero(), 44100u);
    EXPECT_GT(m_played.peak(), 1000);
}

TEST_F(Livesynth, PausesResumesAndStops) {
    if (!havebank()) GTEST_SKIP() << BANK << " is not installed";
    ASSERT_TRUE(ctx.loadmidi(SONG));
    Owner owner;
    Cplayeng eng(ctx, &owner, &owner);
    owner.eng = &eng;
    ASSERT_EQ(eng.playmidi(20e6, 0, nullptr), Cplayeng::Start::ok);
    ASSERT_TRUE(pumpuntil([&] { return eng.position() > 21e6; }));
    const Cmidiport* synth = ctx.midi->hmo.get();
    EXPECT_TRUE(eng.pause());
    const double at = eng.position();
    EXPECT_GT(at, 21e6);
    EXPECT_EQ(ctx.midi->hmo, nullptr);   // the output is closed while paused
    const size_t before = m_played.nonzero();
    EXPECT_GT(before, 0u);
    std::this_thread::sleep_for(200ms);
    m_loop.pump();
    EXPECT_EQ(eng.position(), at);
    // Resuming plays on the synthesizer kept open over the pause, from where it paused.
    ASSERT_EQ(eng.playmidi(at, 0, nullptr), Cplayeng::Start::ok);
    EXPECT_EQ(ctx.midi->hmo.get(), synth);
    ASSERT_TRUE(pumpuntil([&] { return eng.position() > at + 1e6; }));
    eng.stop();
    EXPECT_EQ(ctx.midi->hmo, nullptr);
    EXPECT_EQ(timeperiods(), 0);
    EXPECT_GT(m_played.nonzero(), before);
    m_loop.pump();
    EXPECT_EQ(owner.ends, 0);
}

TEST_F(Livesynth, RecordsTheInputWhileTheSynthesizerPlays) {
    if (!havebank()) GTEST_SKIP() << BANK << " is not installed";
    const Bytes input = noise(size_t(Cwavfil::BUFBYTES) * 3, 11);
    ASSERT_TRUE(writebytes(m_dir.file("input.raw"), input));
    setenv("CANTORIX_RECFILE", m_dir.file("input.raw").c_str(), 1);
    ASSERT_TRUE(ctx.loadmidi(SONG));
    Cwavfil rec(m_dir.file("take1.wav"));
    Take take;
    take.wav = &rec;
    Owner owner;
    Cplayeng eng(ctx, &owner, &owner);
    owner.eng = &eng;
    ASSERT_TRUE(rec.openwr());
    // The file plugin also copies what it captures into its play file: not into the FIFO.
    setenv("CANTORIX_PLAYFILE", "/dev/null", 1);
    ASSERT_TRUE(rec.openin(&take, ctx.settings.wavein));
    setenv("CANTORIX_PLAYFILE", m_dir.file("played.raw").c_str(), 1);
    ASSERT_EQ(eng.playmidi(0, 1e6, nullptr), Cplayeng::Start::ok);
    ASSERT_TRUE(pumpuntil([&] { return rec.nframes >= 2 * 44100 && eng.position() > 2e6; }));
    EXPECT_TRUE(rec.closein());
    eng.stop();
    ASSERT_TRUE(pumpuntil([&] { return take.closed; }));
    // The take holds the input alone: its first two blocks, queued from the start, are the
    // input's first two seconds (later ones may miss what the unpaced device read while no
    // block was queued). The song went to the output.
    const Bytes file = readbytes(rec.path());
    const size_t two = size_t(Cwavfil::BUFBYTES) * 2;
    ASSERT_GE(file.size(), 44u + two);
    EXPECT_TRUE(std::equal(input.begin(), input.begin() + long(two), file.begin() + 44));
    EXPECT_GT(m_played.nonzero(), 44100u);
}

TEST_F(Livesynth, WithoutABankOrADeviceNothingOpens) {
    ASSERT_TRUE(ctx.loadmidi(SONG));
    Owner owner;
    ctx.settings.bankpath = m_dir.file("missing.sf2");
    {
        Cplayeng eng(ctx, &owner, &owner);
        owner.eng = &eng;
        EXPECT_EQ(eng.playmidi(0, 0, nullptr), Cplayeng::Start::bank);
        ASSERT_GE(boxes.count(), 1u);   // the reader's, then the bank's
        EXPECT_EQ(boxes.last().caption, "Couldn't find sound bank");
        EXPECT_EQ(ctx.midi->hmo, nullptr);
        EXPECT_EQ(timeperiods(), 0);
    }
    EXPECT_EQ(ctx.bank, nullptr);   // the next player tries again
    if (!havebank()) return;
    ctx.settings.bankpath = BANK;
    ctx.settings.waveout = 99;
    Cplayeng eng(ctx, &owner, &owner);
    owner.eng = &eng;
    EXPECT_EQ(eng.playmidi(0, 0, nullptr), Cplayeng::Start::device);
    EXPECT_EQ(ctx.midi->hmo, nullptr);
    EXPECT_EQ(timeperiods(), 0);
    m_loop.pump();
    EXPECT_EQ(owner.ends, 0);
}

namespace {

// Mono sum of the left and right channels.
std::vector<float> mono(const std::vector<float>& l, const std::vector<float>& r, size_t n)
{
    std::vector<float> m(n);
    for (size_t i = 0; i < n; ++i) m[i] = 0.5f * (l[i] + r[i]);
    return m;
}

std::vector<float> mono16(const Bytes& data)
{
    std::vector<float> m(data.size() / 4);
    for (size_t i = 0; i < m.size(); ++i) {
        const int l = int16_t(data[4 * i] | data[4 * i + 1] << 8), r = int16_t(data[4 * i + 2] | data[4 * i + 3] << 8);
        m[i] = float(l + r) / 65536.0f;
    }
    return m;
}

double pearson(const std::vector<double>& a, const std::vector<double>& b)
{
    const size_t n = std::min(a.size(), b.size());
    if (n < 2) return 0;
    double ma = 0, mb = 0;
    for (size_t i = 0; i < n; ++i) ma += a[i], mb += b[i];
    ma /= double(n), mb /= double(n);
    double sab = 0, saa = 0, sbb = 0;
    for (size_t i = 0; i < n; ++i) {
        sab += (a[i] - ma) * (b[i] - mb);
        saa += (a[i] - ma) * (a[i] - ma);
        sbb += (b[i] - mb) * (b[i] - mb);
    }
    return saa > 0 && sbb > 0 ? sab / std::sqrt(saa * sbb) : 0;
}

// RMS of consecutive windows of `win` frames.
std::vector<double> envelope(const std::vector<float>& x, size_t win)
{
    std::vector<double> e;
    for (size_t at = 0; at + win <= x.size(); at += win) {
        double s = 0;
        for (size_t i = 0; i < win; ++i) s += double(x[at + i]) * x[at + i];
        e.push_back(std::sqrt(s / double(win)));
    }
    return e;
}

void fft(std::vector<std::complex<double>>& v)
{
    const size_t n = v.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(v[i], v[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> w = std::polar(1.0, -2 * M_PI / double(len));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> z = 1;
            for (size_t k = 0; k < len / 2; ++k, z *= w) {
                const std::complex<double> u = v[i + k], t = v[i + k + len / 2] * z;
                v[i + k] = u + t;
                v[i + k + len / 2] = u - t;
            }
        }
    }
}

// Log-magnitude spectrogram (1024-frame Hann windows, hop 512, bins up to 11 kHz) flattened,
// floored 80 dB under `top` so that digital silence does not count as agreement.
std::vector<double> logspectrogram(const std::vector<float>& x, double top)
{
    constexpr size_t N = 1024, HOP = 512, BINS = 256;
    std::vector<double> out;
    std::vector<std::complex<double>> v(N);
    const double floor = top * 1e-4;
    for (size_t at = 0; at + N <= x.size(); at += HOP) {
        for (size_t i = 0; i < N; ++i) v[i] = x[at + i] * (0.5 - 0.5 * std::cos(2 * M_PI * double(i) / N));
        fft(v);
        for (size_t k = 1; k <= BINS; ++k) out.push_back(std::log10(std::abs(v[k]) + floor));
    }
    return out;
}

double peakspectrum(const std::vector<float>& x)
{
    float m = 0;
    for (float s : x) m = std::max(m, std::abs(s));
    return double(m) * 512;
}

// Rows of the log-magnitude spectrogram, each centred on its mean.
std::vector<std::vector<double>> rows(const std::vector<double>& flat)
{
    constexpr size_t BINS = 256;
    std::vector<std::vector<double>> r;
    for (size_t at = 0; at + BINS <= flat.size(); at += BINS) {
        std::vector<double> v(flat.begin() + long(at), flat.begin() + long(at + BINS));
        double m = 0;
        for (double x : v) m += x;
        for (double& x : v) x -= m / BINS;
        r.push_back(std::move(v));
    }
    return r;
}

double rowcorr(const std::vector<double>& a, const std::vector<double>& b)
{
    double ab = 0, aa = 0, bb = 0;
    for (size_t k = 0; k < a.size(); ++k) ab += a[k] * b[k], aa += a[k] * a[k], bb += b[k] * b[k];
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

// Lines the live spectrogram rows up with the converter's by dynamic time warping (each row
// of x matched to a row of y, in order, within +-band rows of the straight line), and returns
// the mean correlation of the matched rows. Warping absorbs the drift between the scheduler's
// clock and the device's.
double warpedcorr(const std::vector<std::vector<double>>& x, const std::vector<std::vector<double>>& y, long band)
{
    const long nx = long(x.size()), ny = long(y.size());
    if (nx == 0 || ny == 0) return 0;
    const double inf = 1e300;
    const long w = 2 * band + 1;
    std::vector<double> cost(size_t(nx * w), inf), sim(size_t(nx * w), 0);
    auto centre = [&](long i) { return i * ny / nx; };
    auto at = [&](long i, long j) -> long {
        const long k = j - centre(i) + band;
        return k < 0 || k >= w ? -1 : i * w + k;
    };
    for (long i = 0; i < nx; ++i) {
        for (long j = std::max(0L, centre(i) - band); j <= std::min(ny - 1, centre(i) + band); ++j) {
            const long here = at(i, j);
            if (here < 0) continue;   // never: j lies inside the band
            const double c = rowcorr(x[size_t(i)], y[size_t(j)]);
            double best = i == 0 && j == 0 ? 0 : inf;
            if (i > 0 && at(i - 1, j) >= 0) best = std::min(best, cost[size_t(at(i - 1, j))]);
            if (j > 0 && at(i, j - 1) >= 0) best = std::min(best, cost[size_t(at(i, j - 1))]);
            if (i > 0 && j > 0 && at(i - 1, j - 1) >= 0) best = std::min(best, cost[size_t(at(i - 1, j - 1))]);
            if (i == 0 && best == inf) best = 0;   // the live recording may start later
            cost[size_t(here)] = best + (1 - c);
            sim[size_t(here)] = c;
        }
    }
    // Back from the cheapest end of the last row.
    long i = nx - 1, j = -1;
    double end = inf;
    for (long jj = std::max(0L, centre(i) - band); jj <= std::min(ny - 1, centre(i) + band); ++jj)
        if (cost[size_t(at(i, jj))] < end) end = cost[size_t(at(i, jj))], j = jj;
    double total = 0;
    long steps = 0;
    while (i >= 0 && j >= 0 && at(i, j) >= 0) {
        total += sim[size_t(at(i, j))];
        ++steps;
        if (i == 0) break;
        long bi = i - 1, bj = j;
        double bc = at(i - 1, j) >= 0 ? cost[size_t(at(i - 1, j))] : inf;
        if (j > 0 && at(i - 1, j - 1) >= 0 && cost[size_t(at(i - 1, j - 1))] <= bc) bi = i - 1, bj = j - 1, bc = cost[size_t(at(i - 1, j - 1))];
        if (j > 0 && at(i, j - 1) >= 0 && cost[size_t(at(i, j - 1))] < bc) bi = i, bj = j - 1;
        i = bi, j = bj;
    }
    return steps ? total / double(steps) : 0;
}

// The JACK server of the suite, started once.
Jackserver* g_jack = nullptr;

// The index of PortAudio's JACK output device among the wave output devices.
int jackdevice()
{
    const std::vector<std::string> outs = Cdevlist::waveouts();
    for (size_t i = 0; i < outs.size(); ++i)
        if (outs[i] == "system") return int(i);
    return -1;
}

class Livejack : public Livesynth {
protected:
    static void SetUpTestSuite()
    {
        Livesynth::SetUpTestSuite();
        g_jack = new Jackserver;
    }
    static void TearDownTestSuite()
    {
        delete g_jack;
        g_jack = nullptr;
    }
    // The server is up and PortAudio sees it; the device's index.
    int needjack()
    {
        if (g_jack->absent || !havebank()) return -1;
        EXPECT_EQ(g_jack->problem, "");
        if (!g_jack->problem.empty()) return -1;
        const int dev = jackdevice();
        EXPECT_GE(dev, 0) << "PortAudio has no JACK output device";
        return dev;
    }
};

}  // namespace

TEST_F(Livejack, SoundsLikeTheOfflineConversionOnAPacedDevice) {
    const int dev = needjack();
    if (dev < 0) GTEST_SKIP() << "jackd or the bank is not installed";
    constexpr double SECONDS = 12;
    ASSERT_TRUE(ctx.loadmidi(SONG));
    // The converter's render of the same file with the same bank and effects, not normalized.
    ctx.derivewave();
    Csettings::set(ctx.settings.normalize, false);
    {
        Cconvert conv(ctx);
        ASSERT_TRUE(conv.start());
        ASSERT_TRUE(pumpfor(m_loop, [&] { return !conv.running(); }));
        conv.join();
    }
    const Bytes wav = readbytes(ctx.wavepath);
    ASSERT_GT(wav.size(), 44u + size_t(SECONDS * 44100 * 4));
    const std::vector<float> offline = mono16(Bytes(wav.begin() + 44, wav.begin() + 44 + long(SECONDS + 2) * 44100 * 4));

    Jackrecorder rec(SECONDS + 4);
    ASSERT_TRUE(rec.ok());
    ASSERT_EQ(rec.rate(), 44100u);
    ctx.settings.waveout = dev;
    Owner owner, lyrics;
    Cplayeng eng(ctx, &owner, &owner);
    owner.eng = &eng;
    ASSERT_EQ(eng.playmidi(0, 0, &lyrics), Cplayeng::Start::ok);
    ASSERT_EQ(rec.connect("PortAudio"), 2);
    rec.start();   // the scheduler starts with the first message pumped
    // Until the recording holds SECONDS (a loaded machine may slow the server's clock).
    ASSERT_TRUE(pumpfor(m_loop, [&] { return rec.frames() >= size_t((SECONDS + 0.5) * 44100) || owner.ends > 0; }));
    const double wall = (Csched::nowus() - eng.sched()->origin()) / 1e6;
    eng.stop();
    EXPECT_EQ(ctx.midi->hmo, nullptr);
    EXPECT_GT(lyrics.syllables, 0);
    const size_t n = rec.frames();
    ASSERT_GT(n, size_t(SECONDS * 44100));
    std::printf("recorded %.2f s of the server's clock in %.2f s\n", double(n) / 44100, wall);
    const std::vector<float> live = mono(rec.left(), rec.right(), n);

    // Line the two up second by second by their 10 ms RMS envelopes: the scheduler sends on the
    // machine's clock and the server plays on its own, which a loaded machine slows, so one
    // shift for the whole recording does not fit. Then compare the lined-up seconds.
    constexpr size_t SEG = 44100, WIN = 441;
    const std::vector<double> el = envelope(live, WIN);
    size_t start = 0;
    while (start < offline.size() && std::abs(offline[start]) < 1e-3f) ++start;
    start -= start % WIN;
    std::vector<float> a, b;
    int lag = -1000, firstlag = 0;
    for (size_t s0 = start; s0 + SEG <= size_t(SECONDS * 44100) - SEG; s0 += SEG) {
        const std::vector<double> eo = envelope(std::vector<float>(offline.begin() + long(s0), offline.begin() + long(s0 + SEG)), WIN);
        const int lo = lag == -1000 ? -50 : lag - 25, hi = lag == -1000 ? 200 : lag + 25;
        double bestc = -2;
        int best = lo;
        for (int d = lo; d <= hi; ++d) {
            const long k0 = long(s0 / WIN) + d;
            if (k0 < 0 || size_t(k0) + eo.size() > el.size()) continue;
            const double c = pearson(eo, std::vector<double>(el.begin() + k0, el.begin() + k0 + long(eo.size())));
            if (c > bestc) bestc = c, best = d;
        }
        if (lag == -1000) firstlag = best;
        lag = best;
        const long j0 = long(s0) + long(lag) * long(WIN);
        if (j0 < 0 || size_t(j0) + SEG > live.size()) continue;
        a.insert(a.end(), offline.begin() + long(s0), offline.begin() + long(s0 + SEG));
        b.insert(b.end(), live.begin() + j0, live.begin() + j0 + long(SEG));
    }
    ASSERT_GT(a.size(), size_t(8 * 44100));
    const double envcorr = pearson(envelope(a, WIN), envelope(b, WIN));
    const double top = peakspectrum(a);
    const double speccorr = pearson(logspectrogram(a, top), logspectrogram(b, top));
    double rmsa = 0, rmsb = 0;
    for (size_t i = 0; i < a.size(); ++i) rmsa += double(a[i]) * a[i], rmsb += double(b[i]) * b[i];
    // Warped: the converter's seconds against the whole live recording.
    const std::vector<float> whole(offline.begin() + long(start), offline.begin() + long(start + a.size()));
    const auto xo = rows(logspectrogram(whole, top)), yl = rows(logspectrogram(live, top));
    const double warped = warpedcorr(xo, yl, 120);
    const std::vector<float> later(offline.begin() + long(start + 3 * SEG), offline.begin() + long(start + 3 * SEG + a.size() - 3 * SEG));
    const double warpedwrong = warpedcorr(rows(logspectrogram(later, top)), yl, 120);
    std::printf("time-warped log-spectrogram rows: mean correlation %.4f (%.4f three seconds off)\n", warped, warpedwrong);
    RecordProperty("warped_spectrogram_correlation", std::to_string(warped));
    // The same figures for the live seconds against the converter's seconds three later: what
    // the comparison gives for the same song, bank and effects, but the wrong music.
    const size_t off = 3 * SEG;
    const std::vector<float> a2(a.begin() + long(off), a.end()), b2(b.begin(), b.end() - long(off));
    const double envwrong = pearson(envelope(a2, WIN), envelope(b2, WIN));
    const double specwrong = pearson(logspectrogram(a2, top), logspectrogram(b2, top));
    std::printf("live vs offline over %.0f s: shift %d ms at the start, %d ms at the end; RMS envelope correlation "
                "%.4f (%.4f three seconds off), log-spectrogram correlation %.4f (%.4f three seconds off), level "
                "ratio %.3f\n",
                double(a.size()) / 44100, firstlag * 10, lag * 10, envcorr, envwrong, speccorr, specwrong,
                std::sqrt(rmsb / std::max(rmsa, 1e-12)));
    RecordProperty("envelope_correlation", std::to_string(envcorr));
    RecordProperty("spectrogram_correlation", std::to_string(speccorr));
    EXPECT_GT(rmsb, 0.0);
    // The bounds are on the warped figure: a loaded machine slows the dummy server's clock
    // against the scheduler's by up to a fifth, and the unwarped figures then fall with the load.
    EXPECT_GT(warped, 0.9);
    EXPECT_GT(warped, warpedwrong);
}

TEST_F(Livejack, MessageToSoundLatency) {
    const int dev = needjack();
    if (dev < 0) GTEST_SKIP() << "jackd or the bank is not installed";
    ASSERT_TRUE(ctx.loadbank(nullptr));
    ctx.settings.waveout = dev;
    Jackrecorder rec(4);
    ASSERT_TRUE(rec.ok());
    std::unique_ptr<Clivesynth> synth = Clivesynth::open(ctx, nullptr);
    ASSERT_NE(synth, nullptr);
    ASSERT_GE(rec.connect("PortAudio"), 2);
    const uint8_t program[2] = {0xC0, 0};
    ASSERT_TRUE(synth->send(program, 2));
    // Nobody announced the note: the first one waits for its samples to load. Load them first.
    const uint8_t warm[3] = {0x90, 60, 1}, warmoff[3] = {0xB0, 120, 0};
    ASSERT_TRUE(synth->send(warm, 3));
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(synth->send(warmoff, 3));
    std::this_thread::sleep_for(1500ms);
    std::vector<double> ms;
    for (int k = 0; k < 10; ++k) {
        rec.start();
        std::this_thread::sleep_for(300ms);   // silence first, so the first sound is the note's
        const jack_time_t sent = jack_get_time();
        const uint8_t on[3] = {0x90, 60, 127};
        ASSERT_TRUE(synth->send(on, 3));
        std::this_thread::sleep_for(200ms);
        const uint8_t off[3] = {0x90, 60, 0}, silence[3] = {0xB0, 120, 0};
        ASSERT_TRUE(synth->send(off, 3));
        const size_t n = rec.frames();
        // The note's onset: the first frame above -34 dBFS (the reverberation of the one before
        // may still be heard faintly).
        size_t first = n;
        for (size_t i = 0; i < n && first == n; ++i)
            if (std::abs(rec.left()[i]) > 0.02f || std::abs(rec.right()[i]) > 0.02f) first = i;
        ASSERT_TRUE(synth->send(silence, 3));
        ASSERT_LT(first, n) << "the note was not heard";
        const jack_time_t heard = rec.timeof(first);
        ASSERT_GT(heard, 0u);
        ms.push_back((double(heard) - double(sent)) / 1000.0);
        std::this_thread::sleep_for(1s);   // the release and the reverberation die away
    }
    std::sort(ms.begin(), ms.end());
    // The device's own latency: what PortAudio reports for the stream, and JACK's playback
    // latency of the system's ports.
    jack_latency_range_t range{0, 0};
    if (jack_port_t* p = jack_port_by_name(rec.client(), "system:playback_1"))
        jack_port_get_latency_range(p, JackPlaybackLatency, &range);
    const double device = range.max * 1000.0 / 44100;
    std::printf("message to sound: median %.1f ms, worst %.1f ms, best %.1f ms over %zu notes: message to the frame "
                "leaving the JACK graph plus the system ports' playback latency of %u frames (%.1f ms); PortAudio "
                "reports %.1f ms for the stream; period %d frames (%.1f ms)\n",
                ms[ms.size() / 2] + device, ms.back() + device, ms.front() + device, ms.size(), range.max, device,
                synth->latency() * 1000, Clivesynth::PERIOD, Clivesynth::PERIOD * 1000.0 / 44100);
    for (double& m : ms) m += device;
    RecordProperty("latency_median_ms", std::to_string(ms[ms.size() / 2]));
    RecordProperty("latency_worst_ms", std::to_string(ms.back()));
}
