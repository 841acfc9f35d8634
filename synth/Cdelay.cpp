#include "synth/Cdelay.h"

#include "settings/Ceffparam.h"

#include <algorithm>
#include <cstring>

namespace {

// Triangle of the delay LFO: 0 .. 11025 .. 0 over 22050 frames.
inline double tri(int n) { return n < 11025 ? double(n) : double(22050 - n); }

// The longest tap (delay time, stereo spread and the full modulation swing, plus the frame
// before it) stays inside the lines.
constexpr double LONGESTMS =
    effparam(Ceffparam::delaytime).hi + effparam(Ceffparam::spread).hi + effparam(Ceffparam::delaymod).hi;
static_assert(LONGESTMS * 44.1 + 2 < Cdelay::LEN);
// The shortest tap is longer than a block.
static_assert(int(effparam(Ceffparam::delaytime).lo * 44.1) > Cdelay::BLOCK);

} // namespace

Cdelay::Cdelay() : m_linel(zeroed(LEN)), m_liner(zeroed(LEN)) {}

Cdelay::~Cdelay() = default;

void Cdelay::clear()
{
    std::fill(m_linel.get(), m_linel.get() + m_used, 0.0f);
    std::fill(m_liner.get(), m_liner.get() + m_used, 0.0f);
    m_len = m_pos = 0;
}

void Cdelay::grow(int need)
{
    // Whole pages of both lines at a time, so that a slider moved while playing lengthens them
    // only now and then.
    constexpr int STEP = 4096;
    const int len = std::min(LEN, (need + STEP - 1) / STEP * STEP);
    // A frame of age a sits at pos - a, counted around the lines: the frames behind the write
    // position stay where they are, those from it to the old end move to the new end, and what
    // lies between holds no history.
    const int moved = m_len - m_pos, gap = len - m_len;
    for (float* line : {m_linel.get(), m_liner.get()}) {
        std::memmove(line + m_pos + gap, line + m_pos, size_t(moved) * sizeof(float));
        std::fill(line + m_pos, line + m_pos + std::min(gap, m_used - m_pos), 0.0f);
    }
    m_len = len;
    m_used = std::max(m_used, len);
}

// The modulation sweeps 0..modms over the 0.5 s LFO period: 11025 x 4 / 44100 = 1.
double Cdelay::tapdelay(int n, double delayms, double modms)
{
    return (modms * tri(n) * (4.0 / 44100) + delayms) * 44.1;
}

void Cdelay::run(float* l, float* r, int n, const Csettings& s)
{
    float* linel = m_linel.get();
    float* liner = m_liner.get();
    int pos = m_pos, counter = m_counter;
    int len = m_len;
    for (int i = 0; i < n;) {
        // The settings hold for a block of up to BLOCK frames: a change made meanwhile by another
        // thread takes effect at the next block, at most 0.73 ms later, as if it had been made then.
        const int block = std::min(n - i, BLOCK);
        const float amount = std::min(Csettings::get(s.delayamt), float(effparam(Ceffparam::delayamt).hi));
        if (!(amount > 0.0f)) {
            i += block;
            continue;
        }
        const double ms = effparam(Ceffparam::delaytime).clamp(Csettings::get(s.delayms));
        const double modms = effparam(Ceffparam::delaymod).clamp(Csettings::get(s.delaymodms));
        const double spreadms = effparam(Ceffparam::spread).clamp(Csettings::get(s.spreadms));
        const float fb = effparam(Ceffparam::feedback).clamp(Csettings::get(s.delayfb));
        // The longest tap (the right one at the top of its sweep) and the frame before it.
        const int need = int(tapdelay(PERIOD / 2, ms + std::max(spreadms, 0.0), modms)) + 2;
        if (need > len) {
            m_pos = pos;
            grow(need);
            len = m_len;
        }

        // One frame: the taps at this frame's LFO phase, read with linear interpolation.
        auto frame = [&](int at) {
            int other = counter + QUARTER;
            if (other >= PERIOD) other -= PERIOD;
            const double dl = tapdelay(counter, ms, modms);
            const double dr = tapdelay(other, ms + spreadms, modms);
            const int wl = int(dl), wr = int(dr);
            const float fl = float(dl - wl), fr = float(dr - wr);
            int kl = pos - wl, kr = pos - wr;
            if (kl < 0) kl += len;
            if (kr < 0) kr += len;
            const float al = linel[kl], bl = linel[kl == 0 ? len - 1 : kl - 1];
            const float ar = liner[kr], br = liner[kr == 0 ? len - 1 : kr - 1];
            const float yl = al + fl * (bl - al), yr = ar + fr * (br - ar);
            const float xl = l[at], xr = r[at];
            linel[pos] = yl * fb + xl;
            liner[pos] = yr * fb + xr;
            l[at] = (1 - amount) * xl + amount * yl;
            r[at] = (1 - amount) * xr + amount * yr;
            if (++pos == len) pos = 0;
            if (++counter == PERIOD) counter = 0;
        };
        if (modms > 0) {
            for (int k = 0; k < block; ++k) frame(i + k);
            i += block;
            continue;
        }

        // Without modulation the taps stand still (tapdelay gives the same value at every phase),
        // so a stretch in which no index wraps runs as plain loops the compiler vectorizes: first
        // all its taps are read, then the lines written. A tap is at least 44 frames back, more
        // than a block, so no read meets a write of its own block, as one frame after the other.
        const double dl = tapdelay(0, ms, 0), dr = tapdelay(0, ms + spreadms, 0);
        const int wl = int(dl), wr = int(dr);
        const float fl = float(dl - wl), fr = float(dr - wr);
        int kl = pos - wl, kr = pos - wr;
        if (kl < 0) kl += len;
        if (kr < 0) kr += len;
        if (kl == 0 || kr == 0) {
            // A tap at the lines' start interpolates with their end: this frame goes alone.
            frame(i++);
            continue;
        }
        // Up to the first frame at which the write position or a tap wraps.
        const int m = std::min({block, len - pos, len - kl, len - kr});
        float yl[BLOCK], yr[BLOCK];
        const float* __restrict tl = linel + kl;
        const float* __restrict tr = liner + kr;
        for (int k = 0; k < m; ++k) {
            yl[k] = tl[k] + fl * (tl[k - 1] - tl[k]);
            yr[k] = tr[k] + fr * (tr[k - 1] - tr[k]);
        }
        float* __restrict ol = l + i;
        float* __restrict orr = r + i;
        float* __restrict wlp = linel + pos;
        float* __restrict wrp = liner + pos;
        for (int k = 0; k < m; ++k) {
            const float xl = ol[k], xr = orr[k];
            wlp[k] = yl[k] * fb + xl;
            wrp[k] = yr[k] * fb + xr;
            ol[k] = (1 - amount) * xl + amount * yl[k];
            orr[k] = (1 - amount) * xr + amount * yr[k];
        }
        i += m;
        pos += m;
        if (pos == len) pos = 0;
        counter += m;
        if (counter >= PERIOD) counter -= PERIOD;
    }
    m_pos = pos;
    m_counter = counter;
}
