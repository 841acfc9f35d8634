#include "tools/Cplayeng.h"

#include "platform/Cmsgbox.h"
#include "platform/Cshell.h"
#include "platform/Ctimer.h"
#include "platform/Cwindow.h"
#include "synth/Clive.h"
#include "tools/Clivesynth.h"
#include "tools/Csched.h"

#include <algorithm>
#include <cmath>

Cplayeng::Cplayeng(Ccontext& ctx, Cwindow* owner, const void* boxowner)
    : m_ctx(ctx), m_owner(owner), m_boxowner(boxowner)
{
    buildtimeline();
}

Cplayeng::~Cplayeng()
{
    stop();
    m_sched.reset();
    endperiod();
    // The built-in synthesizer's bank lives as long as the player or recorder: a bank chosen
    // in the Options meanwhile is loaded by the next one.
    if (m_ownbank) m_ctx.bank.reset();
}

Cplayeng::Kind Cplayeng::kindof(const std::string& ext, bool chosen)
{
    if (ext == ".wav") return Kind::wave;
    if (ext == ".mid" || ext == ".kar" || (chosen && ext == ".midi")) return Kind::midi;
    return Kind::other;
}

std::optional<std::pair<Cplayeng::Kind, std::string>> Cplayeng::choose(Ccontext& ctx, const void* owner)
{
    Cfilereq req;
    req.filter = MIDIWAVEFILTER;
    if (!ctx.midi && !ctx.wave) req.startdir = ctx.settings.workdir;
    req.owner = owner;
    const std::optional<Cfilepick> pick = shell().openfile(req);
    if (!pick) return std::nullopt;
    const Kind kind = kindof("." + lowercase(pick->ext), true);
    if (kind == Kind::other)
        msgbox("The program doesn't know how to process the file selected\nPlease choose another file and try again",
               "Unknown file type", Boxicon::warning, owner, filedetail(pick->path));
    return std::make_pair(kind, pick->path);
}

bool Cplayeng::kar() const
{
    return m_ctx.midi && dotext(m_ctx.midititle) == ".kar";
}

void Cplayeng::buildtimeline()
{
    m_timeline.clear();
    m_miditotal = 0;
    if (!m_ctx.midi) return;
    m_timeline.buildplayer(*m_ctx.midi);
    m_miditotal = m_timeline.total(m_ctx.midi->division);
}

bool Cplayeng::loadmidi(const std::string& path)
{
    m_timeline.clear();   // its nodes point into the file about to be deleted
    m_miditotal = 0;
    if (m_ctx.loadmidi(path)) {
        buildtimeline();
        return true;
    }
    msgbox("The MIDI/KAR file selected could not be loaded\nIt either does not exist, or it is corrupt\n"
           "or it has an unknown format\nPlease select another MIDI/KAR file and try again",
           "Couldn't load MIDI/KAR file", Boxicon::warning, m_boxowner, filedetail(path));
    return false;
}

void Cplayeng::loadwave(const std::string& path)
{
    m_ctx.setwave(path);
}

void Cplayeng::setlyrics(Cwindow* lyrics)
{
    if (m_sched) m_sched->setlyrics(lyrics);
}

void Cplayeng::endperiod()
{
    if (m_period) timeEndPeriod(m_period);
    m_period = 0;
}

Cplayeng::Start Cplayeng::playmidi(double seekus, double tailus, Cwindow* lyrics)
{
    if (!m_ctx.midi) return Start::device;
    const bool builtin = m_ctx.settings.midiout < 0;
    // The synthesizer kept over a pause plays on if it was opened for this file, bank and device.
    if (m_kept && !(builtin && m_keptfile == m_ctx.midi->serial && m_keptbank == m_ctx.bank.get() &&
                    m_keptwave == m_ctx.settings.waveout))
        m_kept.reset();
    if (builtin) {
        const bool had = m_ctx.bank != nullptr;
        const bool loaded = m_ctx.loadbank(m_boxowner);
        m_ownbank = m_ownbank || !had;
        if (!loaded) return Start::bank;
    }
    const Timecaps caps = timeGetDevCaps();
    if (caps.periodmin == 0 || caps.periodmax == 0) {
        msgbox("Error while accessing the Timer services", "Timer error", Boxicon::error, m_boxowner);
        return Start::timer;
    }
    m_period = std::min(std::max(caps.periodmin, 1u), caps.periodmax);
    timeBeginPeriod(m_period);
    const int key = m_key ? *m_key : builtin ? Csettings::get(m_ctx.settings.transpose) : 0;
    m_sched = std::make_unique<Csched>(*m_ctx.midi, m_timeline);
    m_sched->setkey(key);
    m_sched->setscale(m_scale);
    m_sched->setseek(seekus);
    m_sched->settail(tailus);
    m_sched->setmixer(&m_ctx.mixer);
    m_sched->setdialog(m_owner);
    m_sched->setlyrics(lyrics);
    m_active = true;   // MM_MOM_OPEN, posted by the opening, starts the scheduler
    m_position = 0;
    if (builtin && !m_kept) m_loadedkeys.assign(1, key);
    if (auto* kept = dynamic_cast<Clivesynth*>(m_kept.get())) loadkey(*kept, key);   // changed while paused
    const bool opened = !builtin  ? m_ctx.midi->open(m_owner, m_ctx.settings.midiout)
                        : m_kept ? m_ctx.midi->open(m_owner, std::move(m_kept))
                                 : m_ctx.midi->open(m_owner, Clivesynth::open(m_ctx, &m_timeline, key));
    if (!opened) {
        m_active = false;
        m_sched.reset();
        endperiod();
        m_position = seekus;
        return Start::device;
    }
    return Start::ok;
}

Cplayeng::Start Cplayeng::playwave(Cwavfil& w, double seekus)
{
    m_kept.reset();   // its stream holds the wave output
    if (!w.openrd()) return Start::corrupt;
    if (w.nframes == 0) {
        // Nothing would ever come back from the device to end the play-back.
        w.close();
        return Start::empty;
    }
    w.seek(seekus);
    if (!w.openout(m_owner, m_ctx.settings.waveout)) {
        w.close();
        return Start::device;
    }
    m_wave = &w;
    m_active = true;
    return Start::ok;
}

int Cplayeng::speedof(double scale)
{
    const int pct = int(std::lround(100 / scale / SPEEDSTEP)) * SPEEDSTEP;
    return std::clamp(pct, SPEEDLEAST, SPEEDMOST);
}

int Cplayeng::startkey(const Csettings& settings)
{
    return std::clamp(Csettings::get(settings.transpose), -KEYMOST, KEYMOST);
}

int Cplayeng::startspeed(const Csettings& settings)
{
    return speedof(Ctimeline::scaled(1, Csettings::get(settings.tempo)));
}

void Cplayeng::setkey(int halftones)
{
    m_key = halftones;
    if (!m_sched || !m_active || !m_ctx.midi) return;
    // The built-in synthesizer loads the samples of the file's notes in the new key first, while
    // the old key plays on; the scheduler then ends the sounding notes and sends the new keys.
    if (auto* synth = dynamic_cast<Clivesynth*>(m_ctx.midi->hmo.get())) loadkey(*synth, halftones);
    m_sched->setkey(halftones);
}

void Cplayeng::loadkey(Clivesynth& synth, int key)
{
    if (std::find(m_loadedkeys.begin(), m_loadedkeys.end(), key) != m_loadedkeys.end()) return;
    synth.engine().preload(m_timeline, key);
    m_loadedkeys.push_back(key);
}

void Cplayeng::setscale(double scale)
{
    m_scale = scale > 0 ? scale : 1;
    if (m_sched && m_active) m_sched->setscale(m_scale);
}

double Cplayeng::playing() const
{
    if (m_sched && m_active && !m_wave && m_sched->running()) return m_sched->playing();
    return m_position;
}

bool Cplayeng::pause()
{
    bool ended = false;
    if (m_sched && !m_wave) {   // a MIDI run
        m_sched->stop();
        ended = m_sched->ended();
        if (!ended) m_position = m_sched->position();
    }
    halt(!ended);
    return !ended;
}

void Cplayeng::stop() { halt(false); }

void Cplayeng::halt(bool keep)
{
    m_active = false;
    if (m_sched) m_sched->stop();
    m_kept.reset();
    if (m_ctx.midi && m_ctx.midi->hmo) {
        m_ctx.midi->notesoff();
        auto* synth = dynamic_cast<Clivesynth*>(m_ctx.midi->hmo.get());
        if (keep && synth) {
            // The engine goes back to the state of a new one; the stream plays its silence.
            synth->engine().rewind();
            m_keptfile = m_ctx.midi->serial;
            m_keptbank = m_ctx.bank.get();
            m_keptwave = m_ctx.settings.waveout;
            m_kept = m_ctx.midi->detach();
        } else {
            m_ctx.midi->close();
        }
    }
    endperiod();
    if (m_wave && m_wave->hwo) {
        m_wave->closeout();
        m_wave->close();
    }
    m_wave = nullptr;
}

Cplayeng::Event Cplayeng::handle(unsigned msg)
{
    switch (msg) {
    case MM_MOM_OPEN:
        if (m_sched && m_active) m_sched->start();
        return Event::none;
    case MM_MOM_DONE:
        if (m_sched) m_sched->resume();
        else if (m_ctx.midi) m_ctx.midi->release();
        return Event::none;
    case MM_MOM_CLOSE:
        // Pause and Stop have stopped the scheduler and ended the timer period themselves; a
        // scheduler that played the timeline to its end closed the device on its own.
        if (m_sched && m_sched->ended() && m_active) {
            m_sched->stop();
            m_active = false;
            endperiod();
            return Event::ended;
        }
        return Event::none;
    case WM_SCHEDULE:
        if (!m_sched || !m_active) return Event::none;
        m_position = m_sched->position();
        return Event::position;
    case MM_WOM_OPEN:
        if (m_wave && m_wave->hwo) m_wave->refill();
        return Event::none;
    case MM_WOM_DONE: {
        if (!m_wave || !m_wave->hwo) return Event::none;
        Cwavfil& w = *m_wave;
        if (w.fmt.rate > 0) m_position = w.frpos * 1000000.0 / w.fmt.rate;
        w.refill();
        if (!w.outdone()) return Event::position;
        w.closeout();
        w.close();
        m_wave = nullptr;
        m_active = false;
        return Event::ended;
    }
    default:
        return Event::none;
    }
}

void Cplayeng::warnstart(Start what, Kind kind, bool duplex) const
{
    if (what == Start::ok || what == Start::timer) return;
    if (kind == Kind::midi) {
        std::string text = "The MIDI output device is not ready. Possible causes:\n1) There is another application "
                           "using the device\n2) Your computer doesn't have MIDI output capabilities";
        if (duplex)
            text += "\n3) Your computer doesn't support full-duplex operation\n   (Playing a MIDI/Kar file while "
                    "recording a wave)";
        msgbox(text, "MIDI output busy", Boxicon::error, m_boxowner);
    } else if (what == Start::device) {
        msgbox(duplex ? "The WAVE output device is not ready. Possible causes:\n1) There is another application using "
                        "the device\n2) Your computer doesn't have sound output capabilities\n3) Your computer "
                        "doesn't support full-duplex operation\n   (Playing a WAVE file while recording another)"
                      : "The Wave output device is not ready. Possible causes:\n1) There is another application using "
                        "the device\n2) Your computer doesn't have sound output capabilities",
               "Wave output busy", Boxicon::warning, m_boxowner);
    } else if (what == Start::empty) {
        msgbox("The WAVE file selected is empty\nPlease select another WAVE file and try again", "Wave file empty",
               Boxicon::warning, m_boxowner, filedetail(m_ctx.wavepath));
    } else {
        msgbox("The WAVE file selected appears to be corrupt\nPlease select another WAVE file and try again",
               "Invalid Wave file", Boxicon::warning, m_boxowner, filedetail(m_ctx.wavepath));
    }
}
