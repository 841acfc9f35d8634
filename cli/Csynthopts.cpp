#include "cli/Csynthopts.h"

#include "convert/Ccontext.h"
#include "settings/Ceffparam.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

const char* Csynthopts::HELP =
    "  --bank PATH          sound bank (.sf2, .sf3 or .csf); default: the bank of the settings\n"
    "  --tempo PERCENT      tempo change, -99 .. 1000; positive is slower (100 = half speed)\n"
    "  --transpose N        half tones, -127 .. 127; positive is higher\n"
    "  --set NAME=VALUE     an effect parameter (see below)\n"
    "  --mute CH            silence MIDI channel CH (1 .. 16); may be repeated\n"
    "  --gain CH=DB         gain of MIDI channel CH in dB, -25 .. 25 (tenths kept)\n";

namespace {

bool real(const std::string& s, double& v)
{
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtod(s.c_str(), &end);
    return errno == 0 && end && *end == 0 && std::isfinite(v);
}

bool channel(const char* cmd, const std::string& s, int& ch)
{
    if (!clinumber(cmd, s, 1, 16, ch, "a MIDI channel")) return false;
    --ch;
    return true;
}

bool setparam(const char* cmd, Csynthopts& o, const std::string& arg)
{
    const size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq), val = eq == std::string::npos ? "" : arg.substr(eq + 1);
    const Ceffparam* p = nullptr;
    for (const Ceffparam& q : EFFPARAMS)
        if (name == q.name) p = &q;
    if (!p) return clifail(cmd, "unknown effect parameter '" + name + "' (see --help)");
    double v = 0;
    char range[64];
    std::snprintf(range, sizeof range, "%g .. %g", p->lo, p->hi);
    const bool integral = p->whole != nullptr;
    if (!real(val, v) || v < p->lo || v > p->hi || (integral && v != std::floor(v)))
        return clifail(cmd, name + " takes " + (integral ? "a whole number " : "a value ") + range + ", not '" + val + "'");
    o.sets.emplace_back(p, v);
    return true;
}

}  // namespace

bool clifail(const char* cmd, const std::string& text)
{
    std::fprintf(stderr, "cantorix-cli %s: %s\n", cmd, text.c_str());
    return false;
}

bool clinumber(const char* cmd, const std::string& s, long lo, long hi, int& v, const char* what)
{
    char* end = nullptr;
    errno = 0;
    const long x = s.empty() ? 0 : std::strtol(s.c_str(), &end, 10);
    if (s.empty() || errno || !end || *end || x < lo || x > hi)
        return clifail(cmd, std::string(what) + " must be a whole number from " + std::to_string(lo) + " to " +
                                std::to_string(hi) + ", not '" + s + "'");
    v = int(x);
    return true;
}

bool midiinputs(const char* cmd, const Args& inputs)
{
    if (inputs.empty()) return clifail(cmd, "no input file");
    for (const std::string& in : inputs) {
        const std::string e = extof(in);
        if (e != "mid" && e != "midi" && e != "kar") return clifail(cmd, "not a MIDI or karaoke file: '" + in + "'");
    }
    return true;
}

void Csynthopts::printparams(FILE* out)
{
    for (const Ceffparam& p : EFFPARAMS) {
        std::fprintf(out, "  %-18s %g .. %g%s%s, default %g", p.name, p.lo, p.hi, *p.unit ? " " : "", p.unit, p.def);
        std::fprintf(out, *p.note ? " (%s)\n" : "%s\n", p.note);
    }
}

int Csynthopts::take(const char* cmd, const Args& args, size_t& i)
{
    const std::string& a = args[i];
    if (a != "--bank" && a != "--tempo" && a != "--transpose" && a != "--set" && a != "--mute" && a != "--gain")
        return 0;
    if (i + 1 >= args.size()) return clifail(cmd, a + " needs a value") ? 1 : -1;
    const std::string& v = args[++i];
    bool ok = true;
    if (a == "--bank") {
        bank = v;
        hasbank = true;
    } else if (a == "--tempo") {
        ok = clinumber(cmd, v, -99, 1000, tempo, "--tempo");
    } else if (a == "--transpose") {
        ok = clinumber(cmd, v, -127, 127, transpose, "--transpose");
    } else if (a == "--set") {
        ok = setparam(cmd, *this, v);
    } else if (a == "--mute") {
        int ch = 0;
        ok = channel(cmd, v, ch);
        if (ok) mute[ch] = true;
    } else {
        const size_t eq = v.find('=');
        int ch = 0;
        double db = 0;
        if (eq == std::string::npos) return clifail(cmd, "--gain takes CH=DB, not '" + v + "'") ? 1 : -1;
        if (!channel(cmd, v.substr(0, eq), ch)) return -1;
        if (!real(v.substr(eq + 1), db) || db < -25 || db > 25)
            return clifail(cmd, "a channel gain must be from -25 to 25 dB, not '" + v.substr(eq + 1) + "'") ? 1 : -1;
        gain[ch] = int(std::lround(db * 10));
        hasgain[ch] = true;
    }
    return ok ? 1 : -1;
}

void Csynthopts::apply(Csettings& s) const
{
    if (hasbank) {
        s.bankpath = bank;
        s.compressed = iscompressed(bank);
    }
    Csettings::set(s.tempo, tempo);
    Csettings::set(s.transpose, transpose);
    for (auto [p, v] : sets) p->set(s, v);
}

void Csynthopts::applymixer(Cmixtab& mixer) const
{
    for (int ch = 0; ch < 16; ++ch) {
        if (mute[ch]) mixer.setmute(ch, true);
        if (hasgain[ch]) mixer.setgain(ch, gain[ch]);
    }
}
