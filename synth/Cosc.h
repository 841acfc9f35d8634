#pragma once
// Sample oscillator of a voice: plays one sample of the bank at a pitch ratio with linear
// interpolation, once or looping, and reports when it has reached the sample's end.
//
// Positions are sample points. The note's end, loop start and loop end are clamped into the
// points the store has loaded, so the oscillator never reads outside the sample buffer: it reads
// s[p] and s[p + 1] with p < end <= loaded, and the buffer holds 23 readable points past that.
#include "synth/Cbankview.h"
#include "synth/Cinterp.h"
#include "synth/Csynunits.h"

#include <algorithm>
#include <cstdint>

class Cosc {
    const Cbankview::Smp& m_smp;
    size_t m_index;

public:
    enum Mode { STOPPED, ONCE, LOOP };

    Cosc(const Cbankview::Smp& smp, size_t index)
        : m_smp(smp), m_index(index), m_rootkey(smp.pitch), m_fine(smp.correction) {}
    virtual ~Cosc() { unpin(); }

    // Gives the sample back to the bank, which may then free its audio; the oscillator reads
    // nothing more until the next start.
    void unpin()
    {
        if (m_pinned) m_pinned->unpin(m_index);
        m_pinned = nullptr;
    }

    // Cents of pitch deviation for depth x at the current ratio; a downward depth has the
    // magnitude of the upward one.
    double deviation(int x) const
    {
        if (x == 0) return 0;
        const double d = std::exp2(std::abs(x) / 1200.0) * m_ratio - m_ratio;
        return x < 0 ? -d : d;
    }

    void start(Cbankview& bank, int key, bool melodic);

    // Once per control step while playing: the pitch deviation from the LFOs, the modulation
    // envelope and the pitch bend.
    void devstep(float modlfo, float vib, float modenv)
    {
        m_dev = m_devlfo * modlfo + m_devvib * vib + m_devenv * modenv + m_devbend;
        m_exact = m_ratio == 1.0 && m_dev == 0.0;
    }

    void setbend(int cents)
    {
        m_bendc = cents;
        m_devbend = deviation(cents);
    }

    // Sample modes 3 leaves the loop at release and plays on to the end.
    void release()
    {
        if (m_modes == 3 && m_mode == LOOP) m_mode = ONCE;
    }
    void stop() { m_mode = STOPPED; }
    int correction() const { return m_smp.correction; }
    bool playing() const { return m_mode != STOPPED; }

    // The position step of the current pitch in 32.32 fixed point. A deviation below -ratio
    // would run the oscillator backwards, and hostile tunings can make the sum infinite or not a
    // number: such oscillators stand still instead.
    uint64_t stepfix() const
    {
        const double sum = m_ratio + m_dev;
        const double inc = sum > 0 ? std::min(sum, 1.0e6) : 0.0;
        return uint64_t(inc * 4294967296.0);
    }

    // Writes n outputs at the current pitch, each point times g (g = 1/32768 gives 1.0 = full
    // scale); once the oscillator stops, the rest are 0.
    void render(float* out, int n, float g = 1.0f / 32768)
    {
        if (m_mode == STOPPED) { std::fill(out, out + n, 0.0f); return; }
        if (m_exact) renderexact(out, n, g);
        else renderinterp(out, n, g, stepfix());
    }

    // The pitch of one control step: its fixed-point step, and whether it plays the points as
    // they are (ratio 1, no deviation).
    struct Cstep {
        uint64_t inc;
        bool exact;
        bool operator==(const Cstep&) const = default;
    };
    // Where a control step started, for a partner that follows.
    struct Cpos {
        int pos;
        double frac;
    };

    // Renders `steps` control steps of `len` samples each (the last one `last` samples), step j
    // at pitch st[j], times g. Steps of equal pitch run as one stretch. When `at` is given, the
    // position each step starts from is recorded there. Returns the number of steps rendered:
    // all of them, or up to the one in which the oscillator stopped (the rest of which is 0).
    // With out null the oscillator only moves on, exactly as far as rendering would take it.
    int renderchunk(float* out, const Cstep* st, int steps, int len, int last, float g, Cpos* at = nullptr)
    {
        return out ? chunk<true>(out, st, steps, len, last, g, at) : chunk<false>(out, st, steps, len, last, g, at);
    }

    // A partner of a stereo pair renders each step from the position the main oscillator started
    // it at (at[j], from the main's renderchunk), reading its own sample with its own loop rules.
    // With out null it only moves on.
    void renderfollow(float* out, const Cstep* st, const Cpos* at, int steps, int len, int last, float g)
    {
        if (out) follow<true>(out, st, at, steps, len, last, g);
        else follow<false>(out, st, at, steps, len, last, g);
    }

    // Whether this oscillator, set to follow o, plays exactly o's positions for the next `ahead`
    // (32.32 fixed point): always with the same bounds and play mode, and otherwise as long as
    // neither reaches a bound on the way, which leaves the end and loop rules out of play.
    bool sameplay(const Cosc& o, uint64_t ahead) const
    {
        if (m_end == o.m_end && m_loopstart == o.m_loopstart && m_loopend == o.m_loopend && m_mode == o.m_mode)
            return true;
        if (m_mode == STOPPED || o.m_mode == STOPPED) return false;
        const int bound = std::min(this->bound(), o.bound());
        const int64_t room = (int64_t(bound - 1 - o.m_pos) << 32) - int64_t(o.m_frac * 4294967296.0);
        return room > 0 && uint64_t(room) > ahead;
    }

    // Asks the memory system early for the points the next n outputs will read, so that the
    // cache misses of many voices reading far-apart samples overlap instead of queueing.
    void prefetch(int n) const
    {
        if (m_mode == STOPPED) return;
        double speed = m_ratio + std::fabs(m_dev);
        if (!(speed < 1.0e6)) speed = 1.0e6;   // also when not a number
        const double span = speed * n + 2;
        const int last = int(std::min<double>(m_pos + span, m_end));
        constexpr int LINE = 32;   // points per 64-byte cache line
        for (int p = m_pos & ~(LINE - 1), k = 0; p <= last && k < 48; p += LINE, ++k)
            __builtin_prefetch(m_data + p);
    }

    // The partner of a stereo pair follows the main oscillator's position and pitch.
    void follow(const Cosc& o)
    {
        m_pos = std::min(o.m_pos, m_end > 0 ? m_end - 1 : 0);
        m_frac = o.m_frac;
        m_ratio = o.m_ratio;
        m_dev = o.m_dev;
        m_exact = o.m_exact;
    }

    // Generator values, applied when the voice object is created.
    int64_t m_startofs = 0, m_endofs = 0, m_lsofs = 0, m_leofs = 0;   // points
    int m_modlfoc = 0, m_vibc = 0, m_modenvc = 0, m_bendc = 0;       // pitch depths, cents
    int m_rootkey;
    int m_coarse = 0;                                                 // half tones
    int m_fine;                                                       // cents
    int m_modes = 0;

    // Note state, read by tests and the voice.
    int m_mode = STOPPED;
    int m_pos = 0;
    double m_frac = 0;
    double m_ratio = 1, m_dev = 0;
    double m_devlfo = 0, m_devvib = 0, m_devenv = 0, m_devbend = 0;
    bool m_exact = false;
    int m_end = 0, m_loopstart = 0, m_loopend = 0;
    const int16_t* m_data = nullptr;
    Cbankview* m_pinned = nullptr;   // the bank holding m_data for this oscillator
    float m_peak = 1;         // largest point this note can read, 1.0 = full scale

private:
    // The point playing stops at or wraps from: the loop end while looping, else the end.
    int bound() const { return m_mode == LOOP ? std::min(m_end, m_loopend) : m_end; }

    template <bool OUT>
    int chunk(float* out, const Cstep* st, int steps, int len, int last, float g, Cpos* at)
    {
        int done = 0;
        for (int j = 0; j < steps;) {
            if (m_mode == STOPPED) {
                if (OUT) std::fill(out + done, out + (steps - 1) * len + last, 0.0f);
                return j;
            }
            int e = j + 1;
            if (!at) while (e < steps && st[e] == st[j]) ++e;
            else at[j] = {m_pos, m_frac};
            const int n = (e - j) * len - (e == steps ? len - last : 0);
            float* o = OUT ? out + done : nullptr;
            const int w = st[j].exact ? renderexact<OUT>(o, n, g) : renderinterp<OUT>(o, n, g, st[j].inc);
            if (w < n) return j + (w + len - 1) / len;
            done += n;
            j = e;
        }
        return steps;
    }

    template <bool OUT>
    void follow(float* out, const Cstep* st, const Cpos* at, int steps, int len, int last, float g)
    {
        for (int j = 0; j < steps; ++j) {
            m_pos = std::min(at[j].pos, m_end > 0 ? m_end - 1 : 0);
            m_frac = at[j].frac;
            float* o = OUT ? out + j * len : nullptr;
            const int n = j == steps - 1 ? last : len;
            if (m_mode == STOPPED) {
                if (OUT) std::fill(o, o + n, 0.0f);
            } else if (st[j].exact) {
                renderexact<OUT>(o, n, g);
            } else {
                renderinterp<OUT>(o, n, g, st[j].inc);
            }
        }
    }

    // Moves p on by `whole` points with the end and loop rules: reaching the end stops, reaching
    // the loop end while looping continues from the loop start. False when stopped.
    bool advance(int& p, int64_t whole)
    {
        while (whole > 0) {
            const int bound = this->bound();
            int64_t room = int64_t(bound) - p;
            if (room < 1) room = 1;                   // already at or past the loop end
            if (whole < room) { p += int(whole); return true; }
            p += int(room);
            whole -= room;
            if (p >= m_end) { m_mode = STOPPED; return false; }
            p = m_loopstart;
            whole %= (m_loopend - m_loopstart);       // whole loop passes change nothing
        }
        return true;
    }

    // Both render forms return the number of outputs written before the oscillator stopped
    // (n when it plays on); the outputs after that are 0.
    // Without OUT nothing is written. Points before the bound are copied as a stretch; the point
    // at the bound applies the end and loop rules.
    template <bool OUT = true>
    int renderexact(float* out, int n, float g)
    {
        const int16_t* s = m_data;
        int p = m_pos;
        int i = 0;
        while (i < n) {
            const int bound = this->bound();
            const int safe = std::min(n - i, bound - 1 - p);   // points whose successor is inside
            if (safe > 0) {
                if (OUT) interp::copy(s + p, out + i, safe, g);
                p += safe;
                i += safe;
                if (i == n) break;
            }
            if (OUT) out[i] = s[p] * g;
            ++i;
            if (++p >= bound) {
                --p;
                if (!advance(p, 1)) {
                    if (OUT) std::fill(out + i, out + n, 0.0f);
                    m_pos = p;
                    return i;
                }
            }
        }
        m_pos = p;
        return n;
    }

    // Between loop and end checks the position runs in 32.32 fixed point: one integer add per
    // sample instead of a floating-point add, truncation and subtract that each wait on the last.
    template <bool OUT = true>
    int renderinterp(float* out, int n, float g, uint64_t step)
    {
        constexpr double ONE = 4294967296.0;   // 2^32
        const int16_t* s = m_data;
        int p = m_pos;
        double frac = m_frac;
        int written = n;
        int i = 0;
        while (i < n) {
            // Samples that neither read nor advance past the last point before the bound need
            // no end or loop checks: safe * step < room keeps p + 1 below the bound throughout.
            const int bound = this->bound();
            uint64_t ph = uint64_t(frac * ONE);
            const int64_t room = (int64_t(bound - 1 - p) << 32) - int64_t(ph);
            int safe = 0;
            if (room > 0) {
                // Mostly the whole rest fits; the division is only needed near the bound.
                if (step == 0 || uint64_t(room) > uint64_t(n - i) * step) safe = n - i;
                else safe = int(uint64_t(room - 1) / step);
            }
            if (safe > 0) {
                ph = OUT ? interp::run(s + p, ph, step, out + i, safe, g) : ph + uint64_t(safe) * step;
                i += safe;
                p += int(ph >> 32);
                frac = double(uint32_t(ph)) / ONE;
            }
            if (i == n) break;
            // One sample at the bound, with the loop read and the end and loop rules.
            if (OUT) {
                const bool loop = m_mode == LOOP;
                const float a = s[p];
                const float b = (loop && p + 1 >= m_loopend) ? s[m_loopstart] : s[p + 1];
                out[i] = (a + float(frac) * (b - a)) * g;
            }
            ++i;
            frac += double(step) / ONE;
            if (frac >= 1.0) {
                const double whole = std::floor(frac);
                frac -= whole;
                if (!advance(p, int64_t(whole))) {
                    if (OUT) std::fill(out + i, out + n, 0.0f);
                    written = i;
                    break;
                }
            }
        }
        m_pos = p;
        m_frac = frac;
        return written;
    }
};
