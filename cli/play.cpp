// cantorix-cli play: MIDI and karaoke files one after another through the built-in synthesizer
// (MIDI output -1) on a wave output device, driven by the player's engine and scheduler. The
// user-interface thread is main(): it pumps the devices' and the scheduler's messages together
// with the keys and the 50 ms ticks that a reader thread posts. On a terminal it shows the
// position and the karaoke lines as the lyrics window would, one character for a pixel.
#include "cli/Ccommand.h"
#include "cli/Csynthopts.h"
#include "convert/Ccontext.h"
#include "midi/Clyricsstate.h"
#include "platform/Cdevlist.h"
#include "platform/Cmsgbox.h"
#include "platform/Ctimer.h"
#include "platform/Cwindow.h"
#include "platform/devices/Cwaveiopa.h"
#include "tools/Cplayeng.h"
#include "tools/Csched.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

const char* USAGE =
    "usage: cantorix-cli play [OPTIONS] FILE...\n"
    "\n"
    "Plays MIDI and karaoke files (.mid, .midi, .kar) one after another through the program's own\n"
    "synthesizer, live, on a wave output device. On a terminal it shows the position and length\n"
    "and the lyrics of a karaoke file as they are sung, the sung part in red. Keys: space pauses\n"
    "and resumes, the left and right arrows go back and forward 10 seconds, + and - change the key\n"
    "by a half tone (-12 .. +12; not the percussion channel), > and < the tempo by 5 % (50 % ..\n"
    "200 %), n and p go to the next and the previous file, q quits. The status line shows the key,\n"
    "the tempo and which file of how many plays. Without a terminal (standard input or output not\n"
    "a terminal), and when started in the background of one, it plays without keys and prints\n"
    "nothing but its errors.\n"
    "\n"
    "The live output limits peaks with a look-ahead of a few milliseconds where a conversion looks\n"
    "three seconds ahead, so loud passages may sound a little different from a converted file.\n"
    "\n"
    "options:\n"
    "  --device N           wave output device N (0 the first, as listed in the Options; a number\n"
    "                       past the last device is a wrong command line); default: the system's\n"
    "                       default device\n"
    "  --key N              start N half tones higher, -12 .. 12 (default: --transpose's, else 0);\n"
    "                       --tempo gives the starting tempo, as in convert\n";

const char* OWNOPTS =
    "  --help               this text\n"
    "\n"
    "effect parameters (--set), with their ranges and defaults:\n";

const char* EXITS =
    "\n"
    "Exits 0 when every file was played (or q ended the playing), 1 when a file could not be\n"
    "played or no wave output device can play, 2 for a wrong command line and 128 + the signal's\n"
    "number when ended by SIGINT (Ctrl+C), SIGQUIT (Ctrl+\\), SIGTERM or SIGHUP; every note is\n"
    "silenced and the terminal restored before the program ends.\n";

constexpr double SEEKUS = 10e6;   // the arrows' step
constexpr int SIGNALS[4] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
// A library's assertion or a fault: the program ends as it would, its terminal restored first.
constexpr int CRASHES[5] = {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};

// Messages of the reader thread to the player window.
enum : unsigned {
    WM_KEY = WM_USER + 20,    // wParam: a Key
    WM_TICK = WM_USER + 21,   // every 50 ms
};
enum Key : uintptr_t { keypause = 1, keyback, keyforward, keyquit, keyup, keydown, keyfaster, keyslower, keynext, keyprev };

constexpr int KEYMOST = Cplayeng::KEYMOST;

volatile std::sig_atomic_t g_signal = 0;   // the number of the first ending signal
volatile std::sig_atomic_t g_raw = 0;      // the terminal is in the player's mode
struct termios g_saved;                    // the terminal's mode before

// Async-signal-safe: tcsetattr and write only.
void restoreterm()
{
    if (!g_raw) return;
    tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
    const char show[] = "\033[?25h";   // the cursor again
    ssize_t w = ::write(STDOUT_FILENO, show, sizeof show - 1);
    (void)w;
    g_raw = 0;
}

// Whether the player's process group owns the terminal. Setting its mode from the background
// stops the process with SIGTTOU, and reading keys there with SIGTTIN. Async-signal-safe.
bool foreground()
{
    return tcgetpgrp(STDIN_FILENO) == getpgrp();
}

// Keys one at a time without echo; Ctrl+C, Ctrl+Z and Ctrl+\ keep their signals. Only in the
// foreground; async-signal-safe.
void rawterm()
{
    if (!foreground()) return;
    struct termios t = g_saved;
    t.c_lflag &= tcflag_t(~(ICANON | ECHO));
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &t);
    const char hide[] = "\033[?25l";
    ssize_t w = ::write(STDOUT_FILENO, hide, sizeof hide - 1);
    (void)w;
    g_raw = 1;
}

extern "C" void onend(int sig)
{
    // A second signal ends the program at once, the terminal restored.
    if (g_signal) {
        restoreterm();
        std::signal(sig, SIG_DFL);
        std::raise(sig);
        return;
    }
    g_signal = sig;
}

// Ctrl+Z: the shell gets its terminal back while the player is stopped, and the player its
// mode when it continues.
extern "C" void onstop(int)
{
    const int saved = errno;
    restoreterm();
    std::signal(SIGTSTP, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(SIGTSTP);   // stops here until SIGCONT; the key reader sets the mode again
    std::signal(SIGTSTP, onstop);
    errno = saved;
}

// Installed with SA_RESETHAND: the raise takes the signal's default action (a core dump).
extern "C" void oncrash(int sig)
{
    restoreterm();
    std::raise(sig);
}

// Keys from the bytes a terminal sends: arrows come as ESC [ C / ESC [ D (or ESC O C / D).
class Ckeys {
public:
    // Appends the keys of these bytes to out.
    void feed(const char* b, size_t n, std::vector<Key>& out)
    {
        for (size_t i = 0; i < n; ++i) {
            const char c = b[i];
            if (m_esc == 1) {
                m_esc = (c == '[' || c == 'O') ? 2 : 0;
                continue;
            }
            if (m_esc == 2) {
                m_esc = 0;
                if (c == 'C') out.push_back(keyforward);
                if (c == 'D') out.push_back(keyback);
                continue;
            }
            if (c == 27) m_esc = 1;
            else if (c == ' ') out.push_back(keypause);
            else if (c == 'q' || c == 'Q') out.push_back(keyquit);
            else if (c == '+' || c == '=') out.push_back(keyup);
            else if (c == '-' || c == '_') out.push_back(keydown);
            else if (c == '>' || c == '.') out.push_back(keyfaster);
            else if (c == '<' || c == ',') out.push_back(keyslower);
            else if (c == 'n' || c == 'N') out.push_back(keynext);
            else if (c == 'p' || c == 'P') out.push_back(keyprev);
        }
    }

private:
    int m_esc = 0;   // 1 after ESC, 2 after ESC [
};

// Bytes of the character at s: a whole UTF-8 sequence, else 1.
int charlen(const char* s, int n)
{
    const unsigned char c = static_cast<unsigned char>(s[0]);
    const int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    if (len > n) return 1;
    for (int k = 1; k < len; ++k)
        if ((static_cast<unsigned char>(s[k]) & 0xC0) != 0x80) return 1;
    return len;
}

// Text of a lyric for the terminal: UTF-8 as it is, other bytes read as Latin-1; control
// characters (a file's escape sequences among them) become spaces. One column per character;
// the characters are appended to cells, one string each.
void termchars(const char* s, int n, std::vector<std::string>& cells)
{
    for (int i = 0; i < n;) {
        const int len = charlen(s + i, n - i);
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (len > 1) cells.emplace_back(s + i, size_t(len));
        else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) cells.emplace_back(" ");
        else if (c < 0x80) cells.emplace_back(1, char(c));
        else cells.push_back({char(0xC0 | (c >> 6)), char(0x80 | (c & 0x3F))});
        i += len;
    }
}

int termwidth(const char* s, int n)
{
    int cols = 0;
    for (int i = 0; i < n; i += charlen(s + i, n - i)) ++cols;
    return cols;
}

// The picture on the terminal: the four lyric lines and the countdown bar in the order the
// lyrics window stacks them, then the status line, redrawn in place.
class Cscreen {
public:
    // With lyrics, the picture has the four lines and the bar above the status line.
    void setlyrics(bool on) { m_lyrics = on; }

    static int columns()
    {
        winsize ws{};
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
        return 80;
    }

    // Slot i as the terminal shows it: its text ops laid over a blank line.
    void setslot(int i, const std::vector<Cdrawop>& ops, int width)
    {
        std::vector<std::string> cells(size_t(std::max(width, 0)), " ");
        std::vector<bool> red(cells.size(), false);
        std::vector<std::string> chars;
        for (const Cdrawop& op : ops) {
            if (!op.text) {
                std::fill(cells.begin(), cells.end(), " ");
                std::fill(red.begin(), red.end(), false);
                continue;
            }
            chars.clear();
            termchars(op.chars, op.count, chars);
            for (size_t k = 0; k < chars.size(); ++k) {
                const long x = long(op.x) + long(k);
                if (x < 0 || x >= width) continue;
                cells[size_t(x)] = chars[k];
                red[size_t(x)] = op.red;
            }
        }
        std::string line;
        bool inred = false;
        for (size_t k = 0; k < cells.size(); ++k) {
            if (red[k] != inred) line += red[k] ? "\033[1;31m" : "\033[0m";
            inred = red[k];
            line += cells[k];
        }
        if (inred) line += "\033[0m";
        m_slots[i & 3] = line;
    }

    void setbar(bool on, double fraction, int width)
    {
        m_bar.clear();
        if (!on) return;
        const int len = std::max(width / 2, 1), red = std::clamp(int(len * fraction), 0, len);
        m_bar = std::string(size_t(width / 4), ' ') + "\033[1;31m" + std::string(size_t(red), '#') + "\033[0m" +
                std::string(size_t(len - red), '-');
    }

    void setstatus(const std::string& s) { m_status = s; }

    void clearlyrics()
    {
        for (std::string& s : m_slots) s.clear();
        m_bar.clear();
    }

    // Writes the picture over the previous one.
    void show()
    {
        std::string out;
        if (m_lines > 1) out += "\r\033[" + std::to_string(m_lines - 1) + "A";
        else out += "\r";
        const std::string* lines[7] = {&m_slots[0], &m_bar, &m_slots[1], &m_empty, &m_slots[2], &m_slots[3], &m_status};
        const int n = m_lyrics ? 7 : 1;
        for (int i = 7 - n; i < 7; ++i) {
            out += "\033[K" + *lines[i];
            if (i < 6) out += "\n";
        }
        if (m_lines == n && out == m_shown) return;   // nothing changed
        std::fwrite(out.data(), 1, out.size(), stdout);
        std::fflush(stdout);
        m_lines = n;
        m_shown = out;
    }

    // Leaves the picture where it is; the next show() starts a new one below.
    void leave()
    {
        if (m_lines == 0) return;
        std::fputs("\n", stdout);
        std::fflush(stdout);
        m_lines = 0;
    }

private:
    bool m_lyrics = false;
    int m_lines = 0;
    std::string m_slots[4], m_bar, m_status;
    std::string m_shown;   // what the last show() wrote
    const std::string m_empty;
};

// Message boxes print as convert prints them: "cantorix-cli play: FILE: caption: text", then
// the box's detail (the file it is about and the system's reason) where it has one.
class Cplaysink : public Cboxsink {
public:
    explicit Cplaysink(Cscreen* screen) : m_screen(screen) {}
    void show(const Cbox& box) override
    {
        if (m_screen) m_screen->leave();
        std::string text = box.text;
        for (char& c : text)
            if (c == '\n') c = ' ';
        if (!box.detail.empty()) {
            text += ": ";
            for (char c : box.detail) c == '\n' ? text += ": " : text += c;
        }
        std::fprintf(stderr, "cantorix-cli play: %s%s%s: %s\n", m_file.c_str(), m_file.empty() ? "" : ": ",
                     box.caption.c_str(), text.c_str());
        std::fflush(stderr);
    }
    void setfile(const std::string& f) { m_file = f; }

private:
    Cscreen* m_screen;
    std::string m_file;
};

struct Copts {
    Args inputs;
    Csynthopts synth;
    std::optional<int> device;   // none: the system's default
    std::optional<int> key;
};

bool parse(const Args& args, Copts& o)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const int taken = o.synth.take("play", args, i);
        if (taken < 0) return false;
        if (taken > 0) continue;
        const std::string& a = args[i];
        if (a == "--device") {
            if (i + 1 >= args.size()) return clifail("play", a + " needs a value");
            int v = 0;
            if (!clinumber("play", args[++i], 0, 255, v, "--device")) return false;
            o.device = v;
        } else if (a == "--key") {
            if (i + 1 >= args.size()) return clifail("play", a + " needs a value");
            int v = 0;
            if (!clinumber("play", args[++i], -KEYMOST, KEYMOST, v, "--key")) return false;
            o.key = v;
        } else if (a.size() > 1 && a[0] == '-') {
            return clifail("play", "unknown option '" + a + "' (see --help)");
        } else {
            o.inputs.push_back(a);
        }
    }
    return midiinputs("play", o.inputs);
}

std::string mmss(double us)
{
    const unsigned s = unsigned(std::max(us, 0.0) * 1e-6);
    char b[16];
    std::snprintf(b, sizeof b, "%02u:%02u", s / 60 % 60, s % 60);
    return b;
}

// The player of one run: plays the current MIDI file of the context, follows the keys, and
// keeps the picture. Its handle() gets the engine's, the scheduler's and the reader's messages.
class Cclient : public Cwindow {
public:
    // key: half tones; scale: the file's times are played this many times as long. device: the
    // wave output device as messages name it; wave: the device system, which says why an
    // opening failed.
    Cclient(Ccontext& ctx, Cscreen* screen, int key, double scale, std::string device, const Cpawave& wave)
        : m_ctx(ctx), m_eng(ctx, this, this), m_screen(screen), m_key(key), m_scale(scale),
          m_device(std::move(device)), m_wave(wave)
    {
        m_eng.setkey(m_key);
        m_eng.setscale(m_scale);
    }

    Cplayeng& engine() { return m_eng; }
    // The picture is left as it is from now on.
    void detach() { m_screen = nullptr; }
    bool quit() const { return m_quit; }
    bool ended() const { return m_ended; }
    // Where to go after the file ended: 1 the next file, -1 the previous one.
    int step() const { return m_step; }

    // Starts the current MIDI file from its beginning; false after a box when it cannot play.
    bool begin(const std::string& status)
    {
        m_title = status;
        m_step = 1;
        m_ended = false;
        m_paused = false;
        m_halted = false;
        m_total = m_eng.miditotal();
        m_lyrics = m_screen && m_eng.kar();
        if (m_screen) {
            m_screen->setlyrics(m_lyrics);
            m_screen->clearlyrics();
        }
        return startat(0);
    }

    void handle(unsigned msg, uintptr_t wparam, intptr_t lparam) override
    {
        switch (msg) {
        case WM_KEY:
            key(Key(wparam));
            break;
        case WM_TICK:
            if (g_signal) {
                m_quit = true;
                halt();
            }
            if (m_lyr && m_lyr->timer() && !m_paused) m_lyr->tick(timeGetTime());
            break;
        case WM_SYLLABLE: {
            const Cnode* node = reinterpret_cast<const Cnode*>(lparam);
            // A syllable still queued from before a seek belongs to the lines left behind.
            if (m_lyr && node && !m_paused && m_lyr->startnode() && node->ev->time >= m_lyr->startnode()->ev->time)
                m_lyr->syllable(node, timeGetTime());
            break;
        }
        default:
            if (m_eng.handle(msg) == Cplayeng::Event::ended) {
                m_at = m_total;
                m_halted = true;
                m_ended = true;
            }
            break;
        }
        draw();
    }

    // Ends the playing at once, every note silenced.
    void halt()
    {
        m_at = position();
        m_halted = true;   // the clock stands still from here
        m_eng.stop();
        m_ended = true;
    }

private:
    // Microseconds of the file played.
    double position() const
    {
        if (m_paused || m_halted) return m_at;
        const Csched* s = m_eng.sched();
        if (!s || !s->running()) return m_at;
        return std::min(m_total, m_eng.playing());
    }

    bool startat(double us)
    {
        m_at = std::clamp(us, 0.0, m_total);
        if (m_lyrics) {
            const int width = Cscreen::columns() - 1;
            m_lyr = std::make_unique<Clyricsstate>();
            m_lyr->setmeasure(termwidth);
            m_lyr->layout(width, 400);
            m_width = width;
            m_lyr->start(m_eng.timeline().first, m_at, std::max(int(m_ctx.midi->division), 1), timeGetTime());
            m_lyr->markall();
        }
        const Cplayeng::Start r = m_eng.playmidi(m_at, 0, m_lyrics ? this : nullptr);
        if (r == Cplayeng::Start::ok) return true;
        // The built-in synthesizer failed to open its wave output: no MIDI device is involved.
        if (r == Cplayeng::Start::device)
            msgbox("The " + m_device + " could not be opened: " +
                       (m_wave.why().empty() ? std::string("the device system refused it") : m_wave.why()) +
                       "\nClose the program that may be using it, or choose another device with --device",
                   "Couldn't open wave output device", Boxicon::error, this);
        m_ended = true;
        m_lyr.reset();
        return false;
    }

    void key(Key k)
    {
        if (m_ended) return;
        switch (k) {
        case keyquit:
            m_quit = true;
            halt();
            break;
        case keypause:
            if (m_paused) {
                m_paused = false;
                startat(m_at);
            } else {
                m_at = position();
                m_paused = true;
                if (!m_eng.pause()) m_ended = true;   // the end came first
            }
            break;
        case keyup:
        case keydown:
            m_key = std::clamp(m_key + (k == keyup ? 1 : -1), -KEYMOST, KEYMOST);
            m_eng.setkey(m_key);
            break;
        case keyfaster:
        case keyslower: {
            const int step = k == keyfaster ? Cplayeng::SPEEDSTEP : -Cplayeng::SPEEDSTEP;
            const int speed = std::clamp(Cplayeng::speedof(m_scale) + step, Cplayeng::SPEEDLEAST, Cplayeng::SPEEDMOST);
            m_scale = Cplayeng::scaleof(speed);
            m_eng.setscale(m_scale);
            break;
        }
        case keynext:
        case keyprev:
            m_step = k == keynext ? 1 : -1;
            halt();
            break;
        case keyback:
        case keyforward: {
            // Ten seconds as heard, at the tempo.
            const double by = SEEKUS / m_scale;
            const double to = std::clamp(position() + (k == keyforward ? by : -by), 0.0, m_total);
            if (m_paused) {
                m_at = to;
                break;
            }
            m_eng.pause();   // the synthesizer stays open for the new start
            startat(to);
            break;
        }
        }
    }

    void draw()
    {
        if (!m_screen) return;
        if (m_lyr) {
            if (Cscreen::columns() - 1 != m_width) {   // the terminal was resized
                m_width = Cscreen::columns() - 1;
                m_lyr->layout(m_width, 400);
                for (int i = 0; i < 4; ++i) m_lyr->draw(i);
                m_lyr->markall();
            }
            const unsigned dirty = m_lyr->takedirty();
            for (int i = 0; i < 4; ++i)
                if (dirty & (1u << i)) m_screen->setslot(i, m_lyr->ops(i), m_width);
            m_screen->setbar(m_lyr->bar(), m_lyr->barfraction(timeGetTime()), m_width);
        }
        // Times as heard, at the tempo.
        char keytempo[48];
        std::snprintf(keytempo, sizeof keytempo, "  key %+d  tempo %d%%", m_key, Cplayeng::speedof(m_scale));
        const std::string status = std::string(m_paused ? "Paused    " : "Playing   ") + mmss(position() * m_scale) +
                                   " / " + mmss(m_total * m_scale) + keytempo + "  " + m_title;
        m_screen->setstatus(status.substr(0, size_t(std::max(Cscreen::columns() - 1, 0))));
        m_screen->show();
    }

    Ccontext& m_ctx;
    Cplayeng m_eng;
    Cscreen* m_screen;
    int m_key;              // half tones
    double m_scale;         // the tempo: schedule times are the file's times this many times
    const std::string m_device;
    const Cpawave& m_wave;
    std::unique_ptr<Clyricsstate> m_lyr;
    std::string m_title;
    double m_total = 0;     // microseconds of the file
    double m_at = 0;        // where the run started or paused, in the file's time
    int m_step = 1;         // after the end: 1 the next file, -1 the previous one
    int m_width = 0;
    bool m_lyrics = false;
    bool m_paused = false;
    bool m_ended = false;
    bool m_halted = false;   // stopped for good: q, a signal or the end
    bool m_quit = false;
};

// Posts a tick every 50 ms and, from a terminal, the keys; stops when told.
// Keys are read only while the player owns the terminal: a read from the background would stop
// the process (Ctrl+Z and bg). Back in the foreground (fg), the terminal gets the player's mode
// again within a tick.
void readkeys(Cwindow* w, bool keys, const std::atomic<bool>& stop)
{
    Ckeys parser;
    while (!stop.load()) {
        const bool front = keys && foreground();
        if (front && !g_raw) rawterm();
        pollfd p{STDIN_FILENO, POLLIN, 0};
        const int r = poll(&p, front ? 1 : 0, Clyricsstate::TICKMS);
        if (r > 0 && (p.revents & (POLLIN | POLLHUP))) {
            char b[64];
            const ssize_t n = ::read(STDIN_FILENO, b, sizeof b);
            if (n <= 0) keys = false;   // the end of the input: ticks only
            std::vector<Key> got;
            if (n > 0) parser.feed(b, size_t(n), got);
            for (Key k : got) postmsg(w, WM_KEY, k);
            continue;
        }
        postmsg(w, WM_TICK);
    }
}

}  // namespace

int cmdplay(const Args& args)
{
    if (wantshelp(args)) {
        std::fputs(USAGE, stdout);
        std::fputs(Csynthopts::HELP, stdout);
        std::fputs(OWNOPTS, stdout);
        Csynthopts::printparams(stdout);
        std::fputs(EXITS, stdout);
        return 0;
    }
    Copts o;
    if (!parse(args, o)) {
        std::fprintf(stderr, "usage: cantorix-cli play [OPTIONS] FILE...\n");
        return 2;
    }
    // Started in the background of a terminal (cantorix-cli play x.kar &), the player neither
    // takes the terminal nor draws on it: it plays as without one.
    const bool tty = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO) && foreground();

    // The device system starts and the device is chosen before the terminal changes mode, in a
    // child, since a broken sound configuration can abort inside the audio library. No thread
    // runs yet, as fork wants.
    const Cwaveprobe probe = Cdevlist::probewaveouts();
    if (!probe.ok) {
        std::fprintf(stderr,
                     "cantorix-cli play: the audio system could not start: %s\n"
                     "Nothing can be played; check the sound configuration (ALSA's files, ALSA_CONFIG_PATH).\n",
                     probe.why.c_str());
        return 1;
    }
    const int ndev = int(probe.waveout.size());
    if (o.device && *o.device >= ndev) {
        clifail("play", "--device " + std::to_string(*o.device) + ": there is no wave output device " +
                            std::to_string(*o.device) +
                            (ndev == 0   ? std::string(" (there is none)")
                             : ndev == 1 ? std::string(" (there is only device 0)")
                                         : " (the devices are 0 to " + std::to_string(ndev - 1) + ")"));
        std::fprintf(stderr, "usage: cantorix-cli play [OPTIONS] FILE...\n");
        return 2;
    }
    if (ndev == 0) {
        std::fprintf(stderr, "cantorix-cli play: there is no wave output device: the audio system lists none\n");
        return 1;
    }
    if (!o.device && probe.defaultout < 0) {
        std::fprintf(stderr,
                     "cantorix-cli play: the audio system has no default wave output device; choose one of "
                     "0 to %d with --device\n",
                     ndev - 1);
        return 1;
    }
    const int devno = o.device ? *o.device : probe.defaultout;
    const std::string device = (o.device ? "wave output device " + std::to_string(devno)
                                         : std::string("default wave output device")) +
                               " (\"" + probe.waveout[size_t(devno)] + "\")";

    Ccontext ctx;
    ctx.settings.load(progfolder());
    o.synth.apply(ctx.settings);
    ctx.settings.waveout = o.device ? *o.device : -1;
    ctx.settings.midiout = -1;   // the built-in synthesizer
    // The key and the tempo start at the conversion options, within the ranges the keys reach.
    const int key = o.key ? *o.key : Cplayeng::startkey(ctx.settings);
    const double scale = Cplayeng::scaleof(Cplayeng::startspeed(ctx.settings));

    static Cpawave wave;
    Cwavesys* prevwave = setwavesys(&wave);
    Cmsgloop loop;
    Cscreen screen;
    Cplaysink sink(tty ? &screen : nullptr);
    Cboxsink* prevsink = setboxsink(&sink);

    struct sigaction sa {};
    sa.sa_handler = onend;
    sigemptyset(&sa.sa_mask);
    struct sigaction prevsa[4] {}, prevstop {}, prevcrash[5] {};
    for (int i = 0; i < 4; ++i) sigaction(SIGNALS[i], &sa, &prevsa[i]);
    if (tty) {
        tcgetattr(STDIN_FILENO, &g_saved);
        struct sigaction st {};
        st.sa_handler = onstop;
        sigemptyset(&st.sa_mask);
        sigaction(SIGTSTP, &st, &prevstop);
        struct sigaction sx {};
        sx.sa_handler = oncrash;
        sx.sa_flags = SA_RESETHAND | SA_NODEFER;
        sigemptyset(&sx.sa_mask);
        for (int i = 0; i < 5; ++i) sigaction(CRASHES[i], &sx, &prevcrash[i]);
        rawterm();
    }

    int failed = 0;
    {
        Cclient client(ctx, tty ? &screen : nullptr, key, scale, device, wave);
        std::atomic<bool> stopreader{false};
        std::thread reader(readkeys, &client, tty, std::cref(stopreader));
        // n and p move through the list; a file that cannot play is reported once and passed
        // over in the direction of travel.
        const long count = long(o.inputs.size());
        std::vector<bool> bad(o.inputs.size(), false);
        int dir = 1;
        for (long k = 0; k >= 0 && k < count && !client.quit() && !g_signal; k += dir) {
            const std::string& in = o.inputs[size_t(k)];
            if (bad[size_t(k)]) {
                if (dir < 0 && k == 0) dir = 1;   // back at the start: on again
                continue;
            }
            sink.setfile(in);
            bool ok = readable("play", in) && client.engine().loadmidi(in);
            if (ok) {
                o.synth.applymixer(ctx.mixer);
                std::string status = titleof(in);
                if (count > 1) status += "  " + std::to_string(k + 1) + "/" + std::to_string(count);
                ok = client.begin(status);
            }
            if (!ok) {
                ++failed;
                bad[size_t(k)] = true;
                if (dir < 0 && k == 0) dir = 1;
                continue;
            }
            loop.pumpuntil([&] { return client.ended(); });
            if (tty) screen.leave();
            dir = client.step();
            if (dir < 0 && k == 0) dir = 0;   // p on the first file plays it again
        }
        if (tty) screen.leave();
        client.halt();
        client.detach();
        stopreader.store(true);
        reader.join();
        loop.pump();   // the devices' last messages, to the client still there
    }

    restoreterm();
    if (tty) {
        sigaction(SIGTSTP, &prevstop, nullptr);
        for (int i = 0; i < 5; ++i) sigaction(CRASHES[i], &prevcrash[i], nullptr);
    }
    for (int i = 0; i < 4; ++i) sigaction(SIGNALS[i], &prevsa[i], nullptr);
    setboxsink(prevsink);
    setwavesys(prevwave);
    if (g_signal) return 128 + g_signal;
    return failed ? 1 : 0;
}
