#include "synth/Csynth.h"

#include "settings/Csettings.h"
#include "synth/Csynunits.h"

#include <algorithm>
#include <array>
#include <cmath>

bool Csynth::showerrors() const { return !quiet && settings && Csettings::get(settings->showerrors); }
int Csynth::transpose() const { return settings ? Csettings::get(settings->transpose) : 0; }
float Csynth::reverbamt() const { return settings ? Csettings::get(settings->reverbamt) : 0.0f; }
float Csynth::chorusamt() const { return settings ? Csettings::get(settings->chorusamt) : 0.0f; }

double Csynth::outgain(float pan, float dry, float cho, float rev) const
{
    static const Csettings defaults;
    const Csettings& s = settings ? *settings : defaults;
    // Every voice asks for every chunk while the settings seldom change: the factors that depend
    // on the settings alone are kept per thread with the values they were worked out from.
    thread_local struct {
        bool valid = false;
        float amt = 0, fb = 0, room = 0;
        int db = 0, level = 0;
        double delay = 0, reverb = 0, master = 0, makeup = 0;
    } k;
    const float amtset = Csettings::get(s.delayamt), fbset = Csettings::get(s.delayfb);
    const float roomset = Csettings::get(s.roomsize);
    const int db = Csettings::get(s.mastervoldb), level = Csettings::get(s.complevel);
    if (!k.valid || amtset != k.amt || fbset != k.fb || roomset != k.room || db != k.db || level != k.level) {
        // Delay: (1 - amount) x + amount y, where the line's feedback loop can raise y to
        // x / (1 - feedback).
        const double amt = std::clamp(amtset, 0.0f, 1.0f);
        const double fb = std::clamp(fbset, 0.0f, 0.9f);
        k.delay = amt > 0 ? (1 - amt) + amt / (1 - fb) : 1.0;
        // Reverberator: input gain 0.015 on the sum of both sends (the pan gains add up to at
        // most 1), eight combs whose loop gain is at most their feedback, four allpasses of at
        // most 5/3.
        const double room = std::clamp(roomset, 0.0f, 1.0f);
        const double combs = 8 / (1 - (room * 0.28 + 0.7));
        k.reverb = 0.015 * combs * (625.0 / 81.0);
        k.master = synunits::dbgain(db);
        k.makeup = synunits::dbgain(std::clamp(level, 0, 20));
        k.amt = amtset;
        k.fb = fbset;
        k.room = roomset;
        k.db = db;
        k.level = level;
        k.valid = true;
    }
    return (pan * (std::fabs(dry) * k.delay + cho) + rev * k.reverb) * k.master * k.makeup * 32767.0;
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
