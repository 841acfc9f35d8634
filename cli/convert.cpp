// cantorix-cli convert: MIDI and karaoke files to WAVE files through the program's own
// synthesizer and effects, one application context per parallel conversion (-j N). The user
// interface thread here is main(): it loads the files, starts the render threads and pumps their
// progress and end messages; the result checks print as the converter dialog's boxes would show.
#include "audio/Cnewfil.h"
#include "cli/Ccommand.h"
#include "cli/Csynthopts.h"
#include "convert/Cconvert.h"
#include "convert/Ccontext.h"
#include "convert/Csequen.h"
#include "midi/Ctimeline.h"
#include "platform/Cmsgbox.h"
#include "platform/Cwindow.h"
#include "synth/Chelper.h"

#include <algorithm>
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
    "options:\n";

const char* OWNOPTS =
    "  --no-normalize       keep the level; advise how much Master Volume to add instead\n"
    "  --show-midi-errors   print the synthesizer's MIDI warnings (rendering goes on)\n"
    "  -j N                 use N processors (1 .. 64; default: all this process may use): up to N\n"
    "                       conversions at once, and a conversion with a processor to spare\n"
    "                       splits its voices and effects over a helper thread\n"
    "  --quiet              no progress and no summary lines\n"
    "  --help               this text\n"
    "\n"
    "effect parameters (--set), with their ranges and defaults:\n";

const char* EXITS =
    "\n"
    "Every WAVE file is written under a temporary name beside it and takes its name only when it\n"
    "is finished, so a failure or an interruption leaves an earlier file of that name as it was.\n"
    "A file longer than 6 hours (at the tempo setting) is refused, and so is a read-only earlier\n"
    "file; a conversion that ends in silence (\"WAVE file empty\") replaces nothing.\n"
    "\n"
    "Exits 0 when every file was converted, 1 when some failed, 2 for a wrong command line and\n"
    "128 + the signal's number when interrupted by SIGINT, SIGTERM or SIGHUP.\n";

// The help: usage and options, one line per effect parameter, the exit codes.
void printhelp()
{
    std::fputs(USAGE, stdout);
    std::fputs(Csynthopts::HELP, stdout);
    std::fputs(OWNOPTS, stdout);
    Csynthopts::printparams(stdout);
    std::fputs(EXITS, stdout);
}

struct Copts {
    std::vector<std::string> inputs;
    std::string out, outdir;
    Csynthopts synth;
    int jobs = 0;   // processors to use; 0: all
    bool normalize = true, showerrors = false, quiet = false;
};

bool fail(const std::string& text)
{
    return clifail("convert", text);
}

// Parses the command line; false (after a message) for a wrong one.
bool parse(const Args& args, Copts& o)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const int taken = o.synth.take("convert", args, i);
        if (taken < 0) return false;
        if (taken > 0) continue;
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
        } else if (a == "--no-normalize") {
            o.normalize = false;
        } else if (a == "--show-midi-errors") {
            o.showerrors = true;
        } else if (a == "-j") {
            if (!value(v) || !clinumber("convert", v, 1, 64, o.jobs, "-j")) return false;
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
    return midiinputs("convert", o.inputs);
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
// shows it), then the box's detail (the file it is about and the reason) where it has one. Write
// failures are left out: the program prints them itself with the system's reason.
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
        if (!box.detail.empty()) {
            text += ": ";
            for (char c : box.detail) c == '\n' ? text += ": " : text += c;
        }
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
    o.synth.apply(s);
    Csettings::set(s.normalize, o.normalize);
    Csettings::set(s.showerrors, o.showerrors);
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
    // More conversions at once than processors would only take turns on them. The render
    // threads and their helpers together keep to the processors asked for.
    const int procs = Chelper::processors();
    const int use = o.jobs > 0 ? std::min(o.jobs, procs) : procs;
    Chelper::limit(use);
    const int njobs = std::min(use, int(o.inputs.size()));

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
    for (int sig : SIGNALS) sigaction(sig, &sa, nullptr);

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
            // Counted after the rename: a file that took its name is converted, whatever signal
            // came since; one that did not changed nothing on disk.
            if (r.replaced) ++ok;
            else ++failed;
            const Cwavfil& w = *jp->ctx->wave;
            if (!r.written() && !g_interrupted)
                console.error(jp->output + ": could not be written (" + jp->input + "): " +
                              reason(w.syserr() ? w.syserr() : EIO));
            if (r.capped)
                console.error(jp->output + ": stopped at 6 hours, before the end of " + jp->input);
            if (o.quiet || !r.replaced) return;
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
        o.synth.applymixer(ctx.mixer);
        j.output = outputfor(o, ctx, j.input);
        // A file that would render past the length cap is refused before anything is written.
        const double seconds = medialength(*ctx.midi) * Ctimeline::scaled(1e6, o.synth.tempo) / 1e6;
        if (seconds > double(Csequen::MAXBLOCKS) * Csequen::BLOCKLEN / Csequen::RATE) {
            console.error(j.input + ": lasts " + std::to_string(int64_t(seconds)) +
                          " s at this tempo, more than the 6 hours a conversion may take; nothing written");
            return false;
        }
        if (samefile(j.output, j.input) || (o.synth.hasbank && samefile(j.output, o.synth.bank)) ||
            samefile(j.output, ctx.settings.bankpath)) {
            console.error(j.output + ": is an input of the conversion of " + j.input + "; nothing written");
            return false;
        }
        if (readonly(j.output)) {
            console.error(j.output + ": is read-only; nothing written (" + j.input + ")");
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

    // The exit code says what is on disk: 0 when every file took its name, even if a signal came
    // after the last rename. From here on the program only ends, so signals are ignored rather
    // than given back to handlers that would end it with a code saying otherwise.
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    for (int sig : SIGNALS) sigaction(sig, &ign, nullptr);
    g_naborts.store(0);
    setboxsink(prevsink);
    if (ok == total) return 0;
    if (g_interrupted) {
        std::fprintf(stderr, "cantorix-cli convert: interrupted; %zu of %zu files converted\n", ok, total);
        return 128 + g_interrupted;
    }
    return 1;
}
