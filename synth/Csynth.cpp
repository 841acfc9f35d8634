#include "synth/Csynth.h"

#include "settings/Csettings.h"
#include "synth/Csynunits.h"

#include <array>
#include <cmath>

bool Csynth::showerrors() const { return settings && Csettings::get(settings->showerrors); }
int Csynth::transpose() const { return settings ? Csettings::get(settings->transpose) : 0; }
float Csynth::reverbamt() const { return settings ? Csettings::get(settings->reverbamt) : 0.0f; }
float Csynth::chorusamt() const { return settings ? Csettings::get(settings->chorusamt) : 0.0f; }

namespace {

std::array<double, 128> maketable()
{
    std::array<double, 128> t{};
    for (int k = 0; k < 128; ++k)
        t[k] = std::round(440.0 * std::exp2((k - 69) / 12.0) * 1000.0) / 1000.0;
    return t;
}

const std::array<double, 128> notetable = maketable();

} // namespace

double synunits::notehz(int key) { return notetable[clampkey(key)]; }
