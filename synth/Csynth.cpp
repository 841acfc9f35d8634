#include "synth/Csynth.h"

#include "settings/Csettings.h"
#include "synth/Csynunits.h"

#include <algorithm>
#include <array>
#include <cmath>

bool Csynth::showerrors() const { return !quiet && settings && Csettings::get(settings->showerrors); }
int Csynth::transpose() const { return settings && !keysgiven ? Csettings::get(settings->transpose) : 0; }
float Csynth::reverbamt() const { return settings ? Csettings::get(settings->reverbamt) : 0.0f; }
float Csynth::chorusamt() const { return settings ? Csettings::get(settings->chorusamt) : 0.0f; }

double Csynth::outgain(float pan, float dry, float cho, float rev) const
{
    static const Csettings defaults;
    const Csettings& s = settings ? *settings : defaults;
    // Delay: (1 - amount) x + amount y, where the line's feedback loop can raise y to
    // x / (1 - feedback).
    const double amt = std::clamp(Csettings::get(s.delayamt), 0.0f, 1.0f);
    const double fb = std::clamp(Csettings::get(s.delayfb), 0.0f, 0.9f);
    const double delay = amt > 0 ? (1 - amt) + amt / (1 - fb) : 1.0;
    // Reverberator: input gain 0.015 on the sum of both sends (the pan gains add up to at most
    // 1), eight combs whose loop gain is at most their feedback, four allpasses of at most 5/3.
    const double room = std::clamp(Csettings::get(s.roomsize), 0.0f, 1.0f);
    const double combs = 8 / (1 - (room * 0.28 + 0.7));
    const double reverb = 0.015 * combs * (625.0 / 81.0);
    const double master = synunits::dbgain(Csettings::get(s.mastervoldb));
    const double makeup = synunits::dbgain(std::clamp(Csettings::get(s.complevel), 0, 20));
    return (pan * (std::fabs(dry) * delay + cho) + rev * reverb) * master * makeup * 32767.0;
}

namespace {

std::array<double, 128> maketable()
{
    std::array<double, 128> t{};
    for (int k = 0; k < 128; ++k)
        t[k] = std::round(440.0 * std::exp2((k - 69) / 12.0) * 1000.0) / 1000.0;
    return t;
}

const std::array<double, 128> notetable = maketable();

std::array<double, 41> makedbtable()
{
    std::array<double, 41> t{};
    for (int k = -20; k <= 20; ++k) t[size_t(k + 20)] = std::pow(10.0, k * 0.05);
    return t;
}

const std::array<double, 41> dbtable = makedbtable();

} // namespace

double synunits::notehz(int key) { return notetable[clampkey(key)]; }

double synunits::dbgain(int db) { return dbtable[size_t(std::clamp(db, -20, 20) + 20)]; }
