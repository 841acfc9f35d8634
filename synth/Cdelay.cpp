#include "synth/Cdelay.h"

#include "settings/Ceffparam.h"

#include <algorithm>

namespace {

// Triangle of the delay LFO: 0 .. 11025 .. 0 over 22050 frames.
inline double tri(int n) { return n < 11025 ? double(n) : double(22050 - n); }

// The longest tap (delay time, stereo spread and the full modulation swing, plus the frame
// before it) stays inside the lines.
constexpr double LONGESTMS =
    effparam(Ceffparam::delaytime).hi + effparam(Ceffparam::spread).hi + effparam(Ceffparam::delaymod).hi;
static_assert(LONGESTMS * 44.1 + 2 < Cdelay::LEN);

} // namespace

Cdelay::Cdelay()
    : m_linel(std::make_unique<float[]>(LEN)), m_liner(std::make_unique<float[]>(LEN))
{
    clear();
}

Cdelay::~Cdelay() = default;

void Cdelay::clear()
{
    std::fill(m_linel.get(), m_linel.get() + LEN, 0.0f);
    std::fill(m_liner.get(), m_liner.get() + LEN, 0.0f);
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
    for (int i = 0; i < n; ++i) {
        // Read per frame: the Effects dialog may move a slider while a conversion runs. Values
        // are held to their ranges so that no setting reads outside the lines.
        const float amount = std::min(Csettings::get(s.delayamt), float(effparam(Ceffparam::delayamt).hi));
        if (!(amount > 0.0f)) continue;
        const double ms = effparam(Ceffparam::delaytime).clamp(Csettings::get(s.delayms));
        const double modms = effparam(Ceffparam::delaymod).clamp(Csettings::get(s.delaymodms));
        const double spreadms = effparam(Ceffparam::spread).clamp(Csettings::get(s.spreadms));
        const float fb = effparam(Ceffparam::feedback).clamp(Csettings::get(s.delayfb));

        int other = counter + QUARTER;
        if (other >= PERIOD) other -= PERIOD;
        const double dl = tapdelay(counter, ms, modms);
        const double dr = tapdelay(other, ms + spreadms, modms);
        // The tap at d = whole + frac samples lies between the sample written `whole` frames ago
        // and the one written a frame before that.
        const int wl = int(dl), wr = int(dr);
        const float fl = float(dl - wl), fr = float(dr - wr);
        int kl = pos - wl, kr = pos - wr;
        if (kl < 0) kl += LEN;
        if (kr < 0) kr += LEN;
        const float al = linel[kl], bl = linel[kl == 0 ? LEN - 1 : kl - 1];
        const float ar = liner[kr], br = liner[kr == 0 ? LEN - 1 : kr - 1];
        const float yl = al + fl * (bl - al), yr = ar + fr * (br - ar);
        const float xl = l[i], xr = r[i];
        linel[pos] = yl * fb + xl;
        liner[pos] = yr * fb + xr;
        l[i] = (1 - amount) * xl + amount * yl;
        r[i] = (1 - amount) * xr + amount * yr;
        if (++pos == LEN) pos = 0;
        if (++counter == PERIOD) counter = 0;
    }
    m_pos = pos;
    m_counter = counter;
}
