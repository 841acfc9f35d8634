// cantorix-cli convert: MIDI and karaoke files to WAVE files through the program's own
// synthesizer and effects, one application context per parallel conversion (-j N). The user
// interface thread here is main(): it loads the files, starts the render threads and pumps their
// progress and end messages; the result checks print as the converter dialog's boxes would show.
#include "audio/Cnewfil.h"
#include "cli/Ccommand.h"
#include "convert/Cconvert.h"
#include "convert/Ccontext.h"
#include "convert/Csequen.h"
#include "midi/Ctimeline.h"
#include "platform/Cmsgbox.h"
#include "platform/Cwindow.h"
#include "settings/Ceffparam.h"

#include <algorithm>
#include <thread>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char* USAGE =
    "usage: cantorix-cli convert [OPTIONS] INPUT... [-o OUT.wav | -d OUTDIR]\n"
    "\n"
    "Converts MIDI and karaoke files (.mid, .midi, .kar) into 16-bit stereo WAVE files at 44100 Hz.\n"
    "One input may be written to -o OUT.wav; any number go to OUTDIR (default: the working folder\n"
    "of the settings), each named after its input with \".wav\".\n"
    "\n"
    "options:\n"
    "  --bank PATH          sound bank (.sf2 or .csf); default: the bank of the settings\n"
    "  --tempo PERCENT      tempo change, -99 .. 1000; positive is slower (100 = half speed)\n"
    "  --transpose N        half tones, -127 .. 127; positive is higher\n"
    "  --no-normalize       keep the level; advise how much Master Volume to add instead\n"
    "  --show-midi-errors   print the synthesizer's MIDI warnings (rendering goes on)\n"
    "  --set NAME=VALUE     an effect parameter (see below)\n"
    "  --mute CH            silence MIDI channel CH (1 .. 16); may be repeated\n"
    "  --gain CH=DB         gain of MIDI channel CH in dB, -25 .. 25 (tenths kept)\n"
    "  -j N                 run N conversions in parallel (1 .. 64; at most one per processor)\n"
    "  --quiet              no progress and no summary lines\n"
    "  --help               this text\n"
    "\n"
    "effect parameters (--set), with their ranges and defaults:\n";

const char* EXITS =
    "\n"
    "Every WAVE file is written under a temporary name beside it and takes its name only when it\n"
    "is finished, so a failure or an interruption leaves an earlier file of that name as it was.\n"
    "A file longer than 6 hours (at the tempo setting) is refused.\n"
    "\n"
    "Exits 0 when every file was converted, 1 when some failed, 2 for a wrong command line and\n"
    "128 + the signal's number when interrupted by SIGINT, SIGTERM or SIGHUP.\n";

// The help: usage and options, one line per effect parameter, the exit codes.
void printhelp()
{
    std::fputs(USAGE, stdout);
    for (const Ceffparam& p : EFFPARAMS) {
        std::printf("  %-18s %g .. %g%s%s, default %g", p.name, p.lo, p.hi, *p.unit ? " " : "", p.unit, p.def);
        std::printf(*p.note ? " (%s)\n" : "%s\n", p.note);
    }
    std::fputs(EXITS, stdout);
}

struct Copts {
    std::vector<std::string> inputs;
    std::string out, outdir, bank;
    bool hasbank = false;
    int tempo = 0, transpose = 0, jobs = 1;
    bool normalize = true, showerrors = false, quiet = false;
    std::vector<std::pair<const Ceffparam*, double>> sets;
    bool mute[16] = {};
    int gain[16] = {};   // tenths of a dB
    bool hasgain[16] = {};
};

bool fail(const std::string& text)
{
    std::fprintf(stderr, "cantorix-cli convert: %s\n", text.c_str());
    return false;
}

bool number(const std::string& s, double& v)
{
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtod(s.c_str(), &end);
    return errno == 0 && end && *end == 0 && std::isfinite(v);
}

bool whole(const std::string& s, long lo, long hi, int& v, const char* what)
{
    char* end = nullptr;
    errno = 0;
    const long x = s.empty() ? 0 : std::strtol(s.c_str(), &end, 10);
    if (s.empty() || errno || !end || *end || x < lo || x > hi)
        return fail(std::string(what) + " must be a whole number from " + std::to_string(lo) + " to " +
                    std::to_string(hi) + ", not '" + s + "'");
    v = int(x);
    return true;
}

bool channel(const std::string& s, int& ch)
{
    if (!whole(s, 1, 16, ch, "a MIDI channel")) return false;
    --ch;
    return true;
}

bool setparam(Copts& o, const std::string& arg)
{
    const size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq), val = eq == std::string::npos ? "" : arg.substr(eq + 1);
    const Ceffparam* p = nullptr;
    for (const Ceffparam& q : EFFPARAMS)
        if (name == q.name) p = &q;
    if (!p) return fail("unknown effect parameter '" + name + "' (see --help)");
    double v = 0;
    char range[64];
    std::snprintf(range, sizeof range, "%g .. %g", p->lo, p->hi);
    const bool integral = p->whole != nullptr;
    if (!number(val, v) || v < p->lo || v > p->hi || (integral && v != std::floor(v)))
        return fail(name + " takes " + (integral ? "a whole number " : "a value ") + range + ", not '" + val + "'");
    o.sets.emplace_back(p, v);
    return true;
}

// Parses the command line; false (after a message) for a wrong one.
bool parse(const Args& args, Copts& o)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= args.size()) return fail(a + " needs a value");
            v = args[++i];
            return true;
        };
        std::string v;
        if (a == "-o") {
            if (!value(o.out)) return false;
        } else if (a == "-d") {
            if (!value(o.outdir)) return false;
        } else if (a == "--bank") {
            if (!value(o.bank)) return false;
            o.hasbank = true;
        } else if (a == "--tempo") {
            if (!value(v) || !whole(v, -99, 1000, o.tempo, "--tempo")) return false;
        } else if (a == "--transpose") {
            if (!value(v) || !whole(v, -127, 127, o.transpose, "--transpose")) return false;
        } else if (a == "--no-normalize") {
            o.normalize = false;
        } else if (a == "--show-midi-errors") {
            o.showerrors = true;
        } else if (a == "--set") {
            if (!value(v) || !setparam(o, v)) return false;
        } else if (a == "--mute") {
            int ch = 0;
            if (!value(v) || !channel(v, ch)) return false;
            o.mute[ch] = true;
        } else if (a == "--gain") {
            if (!value(v)) return false;
            const size_t eq = v.find('=');
            int ch = 0;
            double db = 0;
            if (eq == std::string::npos) return fail("--gain takes CH=DB, not '" + v + "'");
            if (!channel(v.substr(0, eq), ch)) return false;
            if (!number(v.substr(eq + 1), db) || db < -25 || db > 25)
                return fail("a channel gain must be from -25 to 25 dB, not '" + v.substr(eq + 1) + "'");
            o.gain[ch] = int(std::lround(db * 10));
            o.hasgain[ch] = true;
        } else if (a == "-j") {
            if (!value(v) || !whole(v, 1, 64, o.jobs, "-j")) return false;
        } else if (a == "--quiet" || a == "-q") {
            o.quiet = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return fail("unknown option '" + a + "' (see --help)");
        } else {
            o.inputs.push_back(a);
        }
    }
    if (o.inputs.empty()) return fail("no input file");
    if (!o.out.empty() && !o.outdir.empty()) return fail("-o and -d exclude each other");
    if (!o.out.empty() && o.inputs.size() != 1) return fail("-o takes exactly one input; use -d for several");
    if (!o.out.empty() && extof(o.out) != "wav") return fail("the output must be a .wav file: '" + o.out + "'");
    for (const std::string& in : o.inputs) {
        const std::string e = extof(in);
        if (e != "mid" && e != "midi" && e != "kar") return fail("not a MIDI or karaoke file: '" + in + "'");
    }
    return true;
}

// SIGINT, SIGTERM and SIGHUP: every context's abort flag is set from the handler (lock-free
// atomic stores); the render threads stop and their temporary files are removed, so the earlier
// WAVE files stay. A second signal removes the temporary files at once and ends the program.
constexpr int MAXJOBS = 64;
constexpr int SIGNALS[3] = {SIGINT, SIGTERM, SIGHUP};
std::atomic<bool>* g_aborts[MAXJOBS];
std::atomic<int> g_naborts{0};
volatile std::sig_atomic_t g_interrupted = 0;   // the number of the first signal

extern "C" void oninterrupt(int sig)
{
    if (g_interrupted) Cnewfil::diesignal(sig);
    g_interrupted = sig;
    const int n = g_naborts.load();
    for (int i = 0; i < n; ++i) g_aborts[i]->store(true, std::memory_order_relaxed);
}

// Message boxes and the progress line share standard error: a box first ends the line. Each box
// is one line naming the input it is about (by the converter that owns it, or the thread that
// shows it). Write failures are left out: the program prints them itself with the system's
// reason.
class Cconsole : public Cboxsink {
public:
    explicit Cconsole(bool bar) : m_bar(bar) {}
    void show(const Cbox& box) override
    {
        if (box.caption == restext::CREATECAP || box.caption == restext::NORMFAILCAP ||
            box.text.rfind("Cwavfil::", 0) == 0)
            return;
        std::lock_guard<std::mutex> lock(m_lock);
        clearline();
        std::string text = box.text;
        for (char& c : text)
            if (c == '\n') c = ' ';
        std::string who = m_current;
        for (const auto& [owner, job] : m_inputs)
            if (owner == box.owner || (!box.owner && job.first == std::this_thread::get_id())) who = job.second;
        std::fprintf(stderr, "cantorix-cli convert: %s%s%s: %s\n", who.c_str(), who.empty() ? "" : ": ",
                     box.caption.c_str(), text.c_str());
        std::fflush(stderr);
    }
    // Boxes of this converter and its render thread, and boxes of the main thread until the next
    // call, are about input.
    void working(const void* owner, std::thread::id thread, const std::string& input)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_current = input;
        if (owner) m_inputs[owner] = {thread, input};
    }
    void error(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        clearline();
        std::fprintf(stderr, "cantorix-cli convert: %s\n", line.c_str());
        std::fflush(stderr);
    }
    void progress(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_bar) return;
        std::fprintf(stderr, "\r\033[K%s", line.c_str());
        std::fflush(stderr);
        m_shown = true;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        clearline();
    }
    void say(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        clearline();
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }

private:
    void clearline()
    {
        if (!m_shown) return;
        std::fprintf(stderr, "\r\033[K");
        m_shown = false;
    }
    bool m_bar;
    bool m_shown = false;
    std::mutex m_lock;
    std::string m_current;
    std::map<const void*, std::pair<std::thread::id, std::string>> m_inputs;
};

std::string bar(int percent)
{
    const int n = std::clamp(percent, 0, 100) * 30 / 100;
    return "[" + std::string(size_t(n), '#') + std::string(size_t(30 - n), ' ') + "]";
}

// One parallel lane: its own context and converter, converting the inputs handed to it in turn.
struct Cjob {
    std::unique_ptr<Ccontext> ctx;
    std::unique_ptr<Cconvert> conv;
    std::string input, output;
    bool busy = false;
};

void applyopts(Ccontext& ctx, const Copts& o)
{
    Csettings& s = ctx.settings;
    if (o.hasbank) {
        s.bankpath = o.bank;
        s.compressed = iscompressed(o.bank);
    }
    Csettings::set(s.tempo, o.tempo);
    Csettings::set(s.transpose, o.transpose);
    Csettings::set(s.normalize, o.normalize);
    Csettings::set(s.showerrors, o.showerrors);
    for (auto [p, v] : o.sets) p->set(s, v);
}

// The mixer table is cleared whenever a MIDI file is loaded, so mutes and gains follow the load.
void applymixer(Ccontext& ctx, const Copts& o)
{
    for (int ch = 0; ch < 16; ++ch) {
        if (o.mute[ch]) ctx.mixer.setmute(ch, true);
        if (o.hasgain[ch]) ctx.mixer.setgain(ch, o.gain[ch]);
    }
}

std::string outputfor(const Copts& o, const Ccontext& ctx, const std::string& input)
{
    if (!o.out.empty()) return o.out;
    std::string dir = o.outdir.empty() ? ctx.settings.workdir : o.outdir;
    if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir + "/" + wavtitle(titleof(input));
}

}  // namespace

int cmdconvert(const Args& args)
{
    if (wantshelp(args)) {
        printhelp();
        return 0;
    }
    Copts o;
    if (!parse(args, o)) {
        std::fprintf(stderr, "usage: cantorix-cli convert [OPTIONS] INPUT... [-o OUT.wav | -d OUTDIR]\n");
        return 2;
    }
    const std::string prog = progfolder();
    // More conversions at once than processors would only take turns on them.
    const int procs = std::max(1, int(std::thread::hardware_concurrency()));
    const int njobs = std::min({o.jobs, int(o.inputs.size()), procs});

    // Every conversion gets its own context; the store budgets share the machine's memory.
    std::vector<Cjob> jobs(static_cast<size_t>(njobs));
    const uint64_t budget = Cstore::physmem() / uint64_t(njobs);
    for (Cjob& j : jobs) {
        j.ctx = std::make_unique<Ccontext>(budget);
        j.ctx->settings.load(prog);
        applyopts(*j.ctx, o);
        j.conv = std::make_unique<Cconvert>(*j.ctx);
    }

    // Two inputs with the same name would race for one output file.
    std::set<std::string> outs;
    for (const std::string& in : o.inputs)
        if (!outs.insert(outputfor(o, *jobs[0].ctx, in)).second) {
            std::fprintf(stderr, "cantorix-cli convert: two inputs would both write %s\n",
                         outputfor(o, *jobs[0].ctx, in).c_str());
            return 2;
        }

    Cconsole console(!o.quiet && isatty(2));
    Cboxsink* prevsink = setboxsink(&console);
    Cmsgloop loop;
    for (int i = 0; i < njobs; ++i) g_aborts[i] = &jobs[size_t(i)].ctx->abort;
    g_naborts.store(njobs);
    struct sigaction sa {};
    sa.sa_handler = oninterrupt;
    sigemptyset(&sa.sa_mask);
    for (int sig : SIGNALS) sigaddset(&sa.sa_mask, sig);
    struct sigaction prevsa[3] {};
    for (int i = 0; i < 3; ++i) sigaction(SIGNALS[i], &sa, &prevsa[i]);

    size_t next = 0, ok = 0, failed = 0, finished = 0;
    const size_t total = o.inputs.size();
    for (Cjob& j : jobs) {
        Cjob* jp = &j;
        j.conv->onprogress = [&, jp](int percent) {
            console.progress(bar(percent) + " " + std::to_string(percent) + " %  " + jp->conv->timetext() + "  " +
                             titleof(jp->input) +
                             (total > 1 ? "  (" + std::to_string(finished + 1) + "/" + std::to_string(total) + ")"
                                        : ""));
        };
        j.conv->keepaborted = false;
        j.conv->onfinish = [&, jp](const Cresult& r) {
            jp->busy = false;
            ++finished;
            const bool good = r.kind == Rescheck::fine || r.kind == Rescheck::normalized || r.kind == Rescheck::advice;
            if (g_interrupted || !good || r.capped) ++failed;
            else ++ok;
            const Cwavfil& w = *jp->ctx->wave;
            if (!r.written() && !g_interrupted)
                console.error(jp->output + ": could not be written (" + jp->input + "): " +
                              reason(w.syserr() ? w.syserr() : EIO));
            if (r.capped)
                console.error(jp->output + ": stopped at 6 hours, before the end of " + jp->input);
            if (o.quiet || !r.written() || g_interrupted) return;
            char line[600];
            std::snprintf(line, sizeof line, "%s: %.1f s, %s %d", jp->output.c_str(), w.nframes / 44100.0,
                          r.kind == Rescheck::normalized ? "normalized to full scale from peak" : "peak", int(w.peak));
            console.say(line);
        };
    }

    // Hands the next input to an idle job; false when the input failed before rendering.
    auto begin = [&](Cjob& j) {
        j.input = o.inputs[next++];
        Ccontext& ctx = *j.ctx;
        console.working(nullptr, {}, j.input);
        if (!readable("convert", j.input)) return false;
        if (!ctx.loadmidi(j.input)) {
            msgbox("The MIDI/KAR file selected could not be loaded\nIt either does not exist, or it is corrupt\nor it "
                   "has an unknown format\nPlease select another MIDI/KAR file and try again",
                   "Couldn't load MIDI/KAR file", Boxicon::warning, nullptr);
            return false;
        }
        applymixer(ctx, o);
        j.output = outputfor(o, ctx, j.input);
        // A file that would render past the length cap is refused before anything is written.
        const double seconds = medialength(*ctx.midi) * Ctimeline::scaled(1e6, o.tempo) / 1e6;
        if (seconds > double(Csequen::MAXBLOCKS) * Csequen::BLOCKLEN / Csequen::RATE) {
            console.error(j.input + ": lasts " + std::to_string(int64_t(seconds)) +
                          " s at this tempo, more than the 6 hours a conversion may take; nothing written");
            return false;
        }
        if (samefile(j.output, j.input) || (o.hasbank && samefile(j.output, o.bank)) ||
            samefile(j.output, ctx.settings.bankpath)) {
            console.error(j.output + ": is an input of the conversion of " + j.input + "; nothing written");
            return false;
        }
        ctx.setwave(j.output);
        console.working(j.conv.get(), {}, j.input);
        if (!j.conv->start()) {
            const int err = ctx.wave->syserr();
            if (err) console.error(j.output + ": could not be created (" + j.input + "): " + reason(err));
            return false;
        }
        console.working(j.conv.get(), j.conv->threadid(), j.input);
        // start() cleared the abort flag: a signal that came just before must still stop it.
        if (g_interrupted) j.conv->abort();
        j.busy = true;
        return true;
    };

    for (;;) {
        for (Cjob& j : jobs) {
            while (!j.busy && next < total && !g_interrupted) {
                if (begin(j)) break;
                ++failed;
                ++finished;
            }
        }
        const bool anybusy = std::any_of(jobs.begin(), jobs.end(), [](const Cjob& j) { return j.busy; });
        if (!anybusy) break;
        const size_t seen = finished;
        loop.pumpuntil([&] { return finished != seen; });
    }
    for (Cjob& j : jobs) j.conv->join();
    console.clear();

    for (int i = 0; i < 3; ++i) sigaction(SIGNALS[i], &prevsa[i], nullptr);
    g_naborts.store(0);
    setboxsink(prevsink);
    if (g_interrupted) {
        std::fprintf(stderr, "cantorix-cli convert: interrupted; %zu of %zu files converted\n", ok, total);
        return 128 + g_interrupted;
    }
    return failed ? 1 : 0;
}
