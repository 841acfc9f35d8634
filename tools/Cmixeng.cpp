#include "tools/Cmixeng.h"

#include "convert/Ccontext.h"
#include "convert/Cresult.h"
#include "midi/Cbytes.h"
#include "platform/Cmsgbox.h"
#include "platform/Cshell.h"
#include "platform/Cwindow.h"
#include "settings/Csettings.h"
#include "synth/Ceffects.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

const char* const FILTER = "WAVE Files (*.wav)|*.wav|All Files (*.*)|*.*||";

const char* const BUSY =
    "The Wave output device is not ready. Possible causes:\n1) There is another application using the device\n"
    "2) Your computer doesn't have sound output capabilities";
const char* const WRITEERR =
    "There was an error while creating the output WAVE file\nPlease check if:\na) Your hard drive is not full\n"
    "b) You have write premission for the file\nc) The file is nor read-only";

int16_t sat16(int32_t v) { return int16_t(std::clamp(v, -32768, 32767)); }


// path: the file the box is about, shown under the text; "" for none.
void warn(const std::string& text, const char* caption, const void* owner, const std::string& path = std::string())
{
    msgbox(text, caption, Boxicon::warning, owner, path.empty() ? path : filedetail(path));
}


// Frames of a time in microseconds at rate, truncated; times are whole microseconds, so this is
// exact integer arithmetic.
int64_t frames(double usec, uint32_t rate) { return int64_t(std::llround(usec)) * int64_t(rate) / 1000000; }

}  // namespace

Cmixeng::Cmixeng(Csettings& settings, Ceffects& effects, std::atomic<bool>& abortflag)
    : m_settings(settings), m_effects(effects), m_abort(abortflag),
      m_in(std::make_unique<uint8_t[]>(BYTES)), m_mix(std::make_unique<int16_t[]>(SAMPLES)),
      m_bytes(std::make_unique<uint8_t[]>(BYTES))
{
    reset();
}

Cmixeng::~Cmixeng()
{
    stop();
}

int Cmixeng::inputs() const
{
    int n = 0;
    for (int c = 1; c < NCHAN; ++c) n += chan[c].file != nullptr;
    return n;
}

void Cmixeng::clear(int c)
{
    defaults(c);
    rebalance();
}

void Cmixeng::defaults(int c)
{
    Cmixchan& ch = chan[c];
    ch.path.clear();
    ch.name.clear();
    ch.file.reset();
    ch.offset = 0;
    ch.silence = 0;
    ch.vol = c == OUTPUT ? 10 : 0;
    ch.pan = 5;
    ch.gainl = ch.gainr = 100;
}

void Cmixeng::reset()
{
    for (int c = 0; c < NCHAN; ++c) defaults(c);
    applyfx = false;
    trim = true;
    normalize = true;
    state = notready;
}

void Cmixeng::rebalance()
{
    const int n = inputs();
    if (n == 0) {
        state = notready;
        return;
    }
    state = chan[OUTPUT].file ? ready : notready;
    for (int c = 1; c < NCHAN; ++c)
        if (chan[c].file) chan[c].vol = 20 / n;
}

void Cmixeng::browse(int c)
{
    Cfilereq req;
    req.filter = FILTER;
    req.defext = "wav";
    req.startdir = m_settings.workdir;
    req.owner = owner;
    const std::optional<Cfilepick> pick = c == OUTPUT ? shell().savefile(req) : shell().openfile(req);
    if (pick) choose(c, pick->path, pick->title, pick->ext);
}

bool Cmixeng::choose(int c, const std::string& path, const std::string& name, const std::string& ext)
{
    if (lowercase(ext) != "wav") {
        warn("You must select a WAVE file\nPlease choose another file and try again", "Invalid file type", owner, path);
        return false;
    }
    defaults(c);
    Cmixchan& ch = chan[c];
    ch.path = path;
    ch.name = name;
    ch.file = std::make_unique<Cwavfil>(path);
    ch.vol = c == OUTPUT ? 10 : 20;
    rebalance();
    return true;
}

void Cmixeng::gains(int c, int vol, int pan, int& left, int& right)
{
    vol = std::clamp(vol, 0, 20);
    pan = std::clamp(pan, 0, 10);
    left = right = vol * 100 / 20 + (c == OUTPUT ? 50 : 0);
    // The far side fades linearly; the near side stays.
    if (pan > 5) left = (10 - pan) * left / 5;
    if (pan < 5) right = right * pan / 5;
}

void Cmixeng::takegains()
{
    for (Cmixchan& ch : chan)
        if (ch.file) gains(int(&ch - chan), ch.vol, ch.pan, ch.gainl, ch.gainr);
}

bool Cmixeng::parseoffset(const std::string& text, double& usec)
{
    // Optional spaces around, an optional "-", then "m:s" or "s"; minutes are whole, seconds
    // may have decimals.
    size_t i = 0, end = text.size();
    while (i < end && std::isspace((unsigned char)text[i])) ++i;
    while (end > i && std::isspace((unsigned char)text[end - 1])) --end;
    bool neg = false;
    if (i < end && text[i] == '-') {
        neg = true;
        ++i;
    }
    const std::string body = text.substr(i, end - i);
    auto number = [](const std::string& s, bool decimals, double& v) {
        if (s.empty()) return false;
        int dots = 0, digits = 0;
        for (char ch : s) {
            if (ch == '.' && decimals) ++dots;
            else if (std::isdigit((unsigned char)ch)) ++digits;
            else return false;
        }
        if (dots > 1 || digits == 0 || s.size() > 20) return false;
        v = std::strtod(s.c_str(), nullptr);
        return true;
    };
    double minutes = 0, seconds = 0;
    const size_t colon = body.find(':');
    if (colon == std::string::npos) {
        if (!number(body, true, seconds)) return false;
    } else if (!number(body.substr(0, colon), false, minutes) || !number(body.substr(colon + 1), true, seconds)) {
        return false;
    }
    const double v = std::round(seconds * 1e6 + minutes * 60e6);
    usec = neg ? -v : v;
    return true;
}

std::string Cmixeng::showoffset(double usec)
{
    char text[64];
    const double sec = usec / 1e6;
    if (std::fabs(sec) >= 60) {
        const int minutes = int(sec / 60);   // towards zero
        std::snprintf(text, sizeof text, "%i:%02.2f", minutes, std::fabs(sec - minutes * 60.0));
    } else {
        std::snprintf(text, sizeof text, "%01.2f", sec);
    }
    return text;
}

void Cmixeng::setoffset(int c, double usec)
{
    if (!(usec == usec)) usec = 0;
    usec = std::round(std::clamp(usec, -MAXOFFSET, MAXOFFSET));
    // A negative separator would shorten the finished file: it counts as none.
    if (c == OUTPUT && usec < 0) usec = 0;
    chan[c].offset = usec;
}

void Cmixeng::spin(int c, int delta)
{
    setoffset(c, chan[c].offset - delta * 10000.0);
}

void Cmixeng::closeinputs()
{
    for (int c = 1; c < NCHAN; ++c)
        if (chan[c].file) chan[c].file->close();
}

bool Cmixeng::prepare()
{
    total = 0;
    for (int c = 1; c < NCHAN; ++c) {
        Cmixchan& ch = chan[c];
        if (!ch.file) continue;
        Cwavfil& in = *ch.file;
        if (!in.openrd() || in.fmt.rate == 0) {
            closeinputs();
            warn("The WAVE file " + ch.name + " appears to be corrupt\nPlease select another WAVE file and try again",
                 "Invalid Wave file", owner, ch.path);
            return false;
        }
        if (in.nframes == 0) {
            closeinputs();
            warn("The WAVE file " + ch.name + " is empty\nPlease select another WAVE file and try again",
                 "Wave file empty", owner, ch.path);
            return false;
        }
        const double duration = double(in.nframes) * 1e6 / in.fmt.rate;
        total = std::max(total, duration - ch.offset);
        ch.silence = 0;
        if (ch.offset > 0)
            in.seek(ch.offset);   // the input's beginning is skipped
        else
            ch.silence = uint32_t(frames(-ch.offset, in.fmt.rate) * 4);   // whole frames: it starts later
    }
    m_totalframes = int64_t(std::llround(total * FRAMES / 1e6));
    return true;
}

void Cmixeng::mixsecond(int16_t* mix)
{
    std::fill(mix, mix + SAMPLES, int16_t(0));
    uint8_t* in = m_in.get();
    for (int c = 1; c < NCHAN; ++c) {
        Cmixchan& ch = chan[c];
        if (!ch.file) continue;
        if (ch.silence == 0) {
            ch.file->rdblock(in, BYTES);
        } else if (ch.silence <= uint32_t(BYTES)) {
            std::memset(in, 0, ch.silence);
            ch.file->rdblock(in + ch.silence, BYTES - int(ch.silence));
            ch.silence = 0;
        } else {
            std::memset(in, 0, BYTES);
            ch.silence -= BYTES;
        }
        const int gl = ch.gainl, gr = ch.gainr;
        for (int i = 0; i < SAMPLES; i += 2) {
            mix[i] = sat16(mix[i] + int16_t(le16(in + 2 * i)) * gl / 100);
            mix[i + 1] = sat16(mix[i + 1] + int16_t(le16(in + 2 * i + 2)) * gr / 100);
        }
    }
    const int gl = chan[OUTPUT].gainl, gr = chan[OUTPUT].gainr;
    for (int i = 0; i < SAMPLES; i += 2) {
        mix[i] = sat16(mix[i] * gl / 100);
        mix[i + 1] = sat16(mix[i + 1] * gr / 100);
    }
}

bool Cmixeng::inputsdone() const
{
    for (int c = 1; c < NCHAN; ++c) {
        const Cmixchan& ch = chan[c];
        if (ch.file && (ch.silence > 0 || ch.file->frpos < ch.file->nframes)) return false;
    }
    return true;
}

bool Cmixeng::outexists() const
{
    struct stat st {};
    return chan[OUTPUT].file && ::stat(chan[OUTPUT].path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int Cmixeng::progress() const
{
    if (!(total > 0)) return 100;
    return int(std::clamp(position * 100 / total, 0.0, 100.0));
}

std::string Cmixeng::timetext() const
{
    return ::timetext(position, total);
}

// --- Preview -------------------------------------------------------------------------------

bool Cmixeng::preview()
{
    if (state != ready || !chan[OUTPUT].file) return false;
    takegains();
    if (!prepare()) return false;
    Cwavfil& out = *chan[OUTPUT].file;
    out.setformat();
    if (!out.openout(window, m_settings.waveout)) {
        closeinputs();
        warn(BUSY, "Wave output busy", owner);
        return false;
    }
    state = previewing;
    position = 0;
    fillpreview(true);
    return true;
}

// Mixes into every free block and sends it, one second per block, in one pass over the two
// blocks: a block the device hands back at once waits for its own message, so that every second
// after the first two takes the gains of the moment. The first block of a preview always goes,
// so that the device reports back even when there is nothing to hear.
void Cmixeng::fillpreview(bool first)
{
    Cwavfil& out = *chan[OUTPUT].file;
    for (Wavehdr& h : out.hdr) {
        if (!first && !(position < total)) break;
        if (!h.done() || !h.data) continue;
        uint8_t* block = h.data.get();
        mixsecond(m_mix.get());
        const int16_t* s = m_mix.get();
        for (int i = 0; i < SAMPLES; ++i) {
            block[2 * i] = uint8_t(s[i]);
            block[2 * i + 1] = uint8_t(uint16_t(s[i]) >> 8);
        }
        if (!out.sendbuf(block)) break;
        position += 1e6;
        first = false;
    }
}

bool Cmixeng::devmsg(unsigned msg)
{
    Cwavfil* out = chan[OUTPUT].file.get();
    if (!out || !out->hwo) return false;
    if (state == previewing && msg == MM_WOM_DONE) {
        takegains();   // the sliders may have moved
        fillpreview(false);
        if (!out->outdone()) return false;
        out->closeout();
        closeinputs();
        state = ready;
        return true;
    }
    if (state == playing && (msg == MM_WOM_OPEN || msg == MM_WOM_DONE)) {
        out->refill();
        position = out->fmt.rate ? double(out->frpos) * 1e6 / out->fmt.rate : 0;
        if (!out->outdone()) return false;
        out->closeout();
        out->close();
        state = ready;
        return true;
    }
    return false;
}

// --- Play ----------------------------------------------------------------------------------

bool Cmixeng::play()
{
    if (state != ready || !chan[OUTPUT].file) return false;
    Cwavfil& out = *chan[OUTPUT].file;
    if (!out.openrd() || out.fmt.rate == 0) {
        out.close();
        warn("The output file appears to be corrupt\nPlease check the file and try again", "Invalid Wave file", owner,
             chan[OUTPUT].path);
        return false;
    }
    total = double(out.nframes) * 1e6 / out.fmt.rate;
    if (!out.openout(window, m_settings.waveout)) {
        out.close();
        warn(BUSY, "Wave output busy", owner);
        return false;
    }
    state = playing;
    position = 0;
    return true;
}

// --- Mix -----------------------------------------------------------------------------------

bool Cmixeng::startmix()
{
    if (state != ready || !chan[OUTPUT].file) return false;
    takegains();
    if (!prepare()) return false;
    Cwavfil& out = *chan[OUTPUT].file;
    // Mixing into one of its own inputs would destroy it before it is read.
    for (int c = 1; c < NCHAN; ++c) {
        if (chan[c].file && samefile(out.path(), chan[c].file->path())) {
            closeinputs();
            warn("The output file is one of the input files\nPlease choose another output file and try again",
                 "WAVE file error", owner);
            return false;
        }
    }
    out.setformat();
    if (!out.openwr()) {
        closeinputs();
        warn(WRITEERR, "WAVE file error", owner, chan[OUTPUT].path);
        return false;
    }
    state = mixing;
    position = 0;
    m_fx = applyfx;
    m_trim = trim;
    m_norm = normalize;
    if (m_fx) {
        m_effects.prepare();
        m_abort.store(false, std::memory_order_relaxed);
    }
    m_leading = true;
    m_dropped = m_fed = m_posframes = 0;
    out.peak = 0;
    out.quiet = 0;
    return true;
}

void Cmixeng::writeblock(Cwavfil& out, const int16_t* s, int nframes)
{
    if (nframes <= 0) return;
    if (m_fx) {
        Cwavfil* prev = m_effects.output();
        m_effects.setoutput(&out);
        m_effects.processframes(s, nframes);
        m_effects.setoutput(prev);
        m_fed += nframes;
        return;
    }
    uint8_t* b = m_bytes.get();
    for (int i = 0; i < 2 * nframes; ++i) {
        b[2 * i] = uint8_t(s[i]);
        b[2 * i + 1] = uint8_t(uint16_t(s[i]) >> 8);
    }
    out.wrblock(b, nframes * 4);
}

bool Cmixeng::tick()
{
    if (state != mixing) return false;
    Cwavfil& out = *chan[OUTPUT].file;
    int16_t* mix = m_mix.get();
    mixsecond(mix);

    auto audible = [](int16_t l, int16_t r) { return std::abs(int(l)) > QUIET || std::abs(int(r)) > QUIET; };
    // Quiet frames before the first audible one are dropped while trimming.
    int skip = 0;
    if (m_leading) {
        while (skip < FRAMES && !audible(mix[2 * skip], mix[2 * skip + 1])) ++skip;
        if (skip < FRAMES) m_leading = false;
        if (!m_trim) skip = 0;
        m_dropped += skip;
    }
    // Frames past the total are cut from the block.
    int keep = FRAMES - skip;
    if (m_posframes + keep > m_totalframes) keep = int(std::max<int64_t>(0, m_totalframes - m_posframes));
    m_posframes += keep;
    position = double(m_posframes) * 1e6 / FRAMES;

    // Without effects the counters follow the frames written, as wrframe would keep them; with
    // effects wrframe keeps them for the processed frames.
    const int16_t* first = mix + 2 * skip;
    if (!m_fx) {
        for (int i = 0; i < keep; ++i) {
            const int16_t l = first[2 * i], r = first[2 * i + 1];
            if (audible(l, r)) {
                out.peak = std::max({out.peak, std::abs(int(l)), std::abs(int(r))});
                out.quiet = 0;
            } else {
                ++out.quiet;
            }
        }
    }
    writeblock(out, first, keep);
    // A write that failed ends the mix at once; finishmix reports it.
    if (out.failed() != Wverr::none) {
        finishmix(false);
        return false;
    }

    // A mix that stays quiet to the inputs' end drops every frame and never advances; it ends
    // once every input is used up.
    const bool more = keep == FRAMES || (skip > 0 && !(m_leading && inputsdone()));
    if (more) return true;
    finishmix(true);
    return false;
}

void Cmixeng::finishmix(bool complete)
{
    Cwavfil& out = *chan[OUTPUT].file;
    // The look-ahead of the output stage holds the last frames handed over; flushing writes them.
    if (m_fx && m_fed > 0) {
        Cwavfil* prev = m_effects.output();
        m_effects.setoutput(&out);
        m_effects.flush();
        m_effects.setoutput(prev);
    }
    // Nothing audible came: the dropped leading frames come back as silence, so that an entirely
    // quiet mix keeps its length (and closewr keeps a file that is quiet throughout).
    if (m_leading && m_trim && m_dropped > 0) {
        const int64_t n = std::min(m_dropped, std::max<int64_t>(m_totalframes, 0));
        for (int64_t i = 0; i < n; ++i) out.wrframe(0, 0);
    }
    const double sep = std::max(0.0, chan[OUTPUT].offset);
    const int32_t extra = complete ? int32_t(frames(sep, FRAMES)) : 0;
    out.finish(m_trim, extra);
    closeinputs();
    state = ready;
    if (out.failed() != Wverr::none) {
        warn(WRITEERR, "WAVE file error", owner, chan[OUTPUT].path);
        return;
    }
    // The mix takes its name only now, normalized or not; a stopped mix keeps what it has.
    if (complete && m_norm && !donormalize(out)) return;
    if (!out.commit()) warn(WRITEERR, "WAVE file error", owner, chan[OUTPUT].path);
}

bool Cmixeng::donormalize(Cwavfil& out)
{
    if (out.peak < 1) {
        warn("The output WAVE file has no sound.\nPlease check your input files and try again", "WAVE file empty", owner,
             chan[OUTPUT].path);
        return true;
    }
    const int32_t factor = 33553408 / out.peak;   // 32767 x 1024: 1024 is a gain of 1.0
    if (factor < 1025 || out.normalize(factor)) return true;
    warn("An error ocurred while normalizing the values\nin the output WAVE file.\nPlease check your hard-disk "
         "space and try again",
         "Error in WAVE file", owner, chan[OUTPUT].path);
    return false;
}

void Cmixeng::stop()
{
    Cwavfil* out = chan[OUTPUT].file.get();
    switch (state) {
    case previewing:
        if (out) out->closeout();
        closeinputs();
        break;
    case mixing:
        if (out) finishmix(false);
        break;
    case playing:
        if (out) {
            out->closeout();
            out->close();
        }
        break;
    default: return;
    }
    state = ready;
}
