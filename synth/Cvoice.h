#pragma once
// One sounding note: a sample oscillator, a volume and a modulation envelope, a vibrato and a
// modulation LFO, a two-pole low-pass and an amplifier, mixed with a linear pan law into the six
// mixing buses. Modulation runs once per control step of 20 samples; everything else per sample.
//
// A voice object belongs to one instrument zone (Cizone) for the life of its preset instance, or,
// in the converter, until it finishes with nothing a new one would lack. Its generator values are
// applied once, at creation; later notes of the same zone re-start it.
#include "synth/Camp.h"
#include "synth/Cfilter.h"
#include "synth/Clfo.h"
#include "synth/Cmodenv.h"
#include "synth/Cosc.h"
#include "synth/Csynth.h"
#include "synth/Ctwins.h"
#include "synth/Cvolenv.h"

#include <atomic>
#include <cstdint>

class Cizone;

// What a note start takes from the channel.
struct Cnote {
    int key = 60;
    int vel = 100;
    float atten = 0;         // channel attenuation, centibels
    int bendc = 0;           // pitch bend, cents
    int revsend = 0;         // channel reverb send, 0.1 %
    int chosend = 0;         // channel chorus send, 0.1 %
    int pan = 2000;          // channel pan, 0.1 %; 2000 = never set
    bool melodic = true;     // false on the percussion channel
    bool sostenuto = false;
    bool soft = false;
};

class Cvoice {
public:
    enum Pedal { FREE, SUSTAINED, SOSTENUTO, RELSUSTAINED, RELSOSTENUTO };
    // Control steps rendered together: their modulation first, then their audio.
    static constexpr int CHUNKSTEPS = 48;

    Cvoice(Cizone* zone, const Cbankview::Smp& smp, size_t index);
    virtual ~Cvoice();

    // One generator (an sfgen::Op); false for an operator past sfgen::endoper.
    bool apply(int oper, int amount, bool additive);
    // Creation-time values of the envelopes and LFOs, after all generators.
    void derive();

    void start(Csynth& synth, const Cnote& note);
    void release();
    bool playing() const { return m_osc.playing(); }

    // Adds n samples, panned but before the send levels, into l[0..n) and r[0..n); a stereo
    // pair renders both halves. The caller spreads them over the six mixing buses with this
    // voice's levels (sends()), once for all voices of equal levels. With twins, a twin shares
    // the signal of the twins the calling thread rendered before it in this slice (Ctwins).
    void render(const Csynth& synth, float* l, float* r, int n, Ctwins* twins = nullptr);
    // Asks early for the sample points the next n samples of both halves read.
    void prefetch(int n) const
    {
        m_osc.prefetch(n);
        if (m_partner) m_partner->m_osc.prefetch(n);
    }
    struct Csends {
        float dry, cho, rev;
        bool operator==(const Csends&) const = default;
    };
    Csends sends() const { return {1.0f - m_cho - m_rev, m_cho, m_rev}; }

    // Controller updates.
    void setatten(float chanatten);
    void setpan(int pan);
    void setsends(const Csynth& synth, int chanrev, int chancho);
    void setbend(int cents);
    void setvibrato(int cents) { m_osc.m_vibc = cents; }

    // Whether a new voice object of its zone would play every later note exactly as this one
    // will: it keeps nothing from its notes so far that its generators did not give it (a
    // controller's vibrato depth, a drum's pitch bend).
    bool pristine() const;
    // Takes this object out of the lists of the twins of its last note, before it goes for good.
    // Safe only while every twin that names it is one it names (fewer than SIBS siblings).
    void leavetwins();

    // A voice becomes unheard when nothing it (with its partner) can still add would change a
    // sample of the 16-bit output: its volume envelope is past the attack, so its level only
    // holds or falls from here, and even if the channel's volume and expression rose to full,
    // with the largest gains of its sample, filter, pan, sends, the effects and the output
    // stage, it stays under a small share of a step (UNHEARD). An unheard voice adds nothing and only moves on to
    // where it would have ended.
    bool unheard() const { return m_unheard; }
    // The volume envelope attenuation (cB) from which on this half, sent with levels s, stays
    // under `share` steps of the 16-bit output for the rest of its note.
    float quietfrom(const Csynth& synth, const Csends& s, double share) const;
    // Whether the voice only grows quieter from here: unheard, or releasing (both halves)
    // without tremolo.
    bool fading() const
    {
        auto releasing = [](const Cvoice& v) {
            return v.m_volenv.stage() >= Cvolenv::RELEASE && v.m_amp.m_modlfocb == 0;
        };
        return m_unheard || (releasing(*this) && (!m_partner || releasing(*m_partner)));
    }

    // Parts, readable by the zone and by tests.
    Cmodenv m_modenv;
    Cvolenv m_volenv;
    Clfo m_viblfo, m_modlfo;
    Cosc m_osc;
    Cfilter m_filter;
    Camp m_amp;

    Cizone* m_zone;              // owner
    Cvoice* m_next = nullptr;    // link in the zone's active or free list
    Cvoice* m_partner = nullptr; // left half of a stereo pair, taken from the linked zone
    int m_key = 0;               // effective key, matched by note-off and re-strike
    int m_pedal = FREE;
    uint32_t m_serial = 0;       // note-on message that started this note
    uint64_t m_twin = 0;         // group of twins started by the same note-on (Ctwins), 0 for none
    // The other twins of the note, for filtering ahead for them. A sibling object may have moved
    // on to another note since: it is one of them only while its m_twin is this one's.
    static constexpr int SIBS = 24;
    Cvoice* m_sibs[SIBS];
    int m_nsibs = 0;
    // The list a thread is rendering this voice in for the current slice (Cvoicerun), 0 once
    // rendered: a twin filters ahead only for siblings of its own list not yet rendered.
    std::atomic<uint32_t> m_stamp{0};
    int m_fixedkey = -1, m_fixedvel = -1;
    int m_revgen = 0, m_chogen = 0, m_pangen = 0;   // generator sums, 0.1 %
    int m_pan = 0;
    int m_vibgen = 0;            // the vibrato depth its generators gave, cents
    float m_panl = 0.5f, m_panr = 0.5f;
    float m_rev = 0, m_cho = 0;

private:
    // quietfrom's last logarithm and what it was taken of: the largest level rarely changes
    // from one chunk to the next.
    mutable double m_quietmost = -1, m_quietshare = 0, m_quietlog = 0;
    // Filters the shared signal x of a twin's slot for this voice (into own) and for its siblings.
    void prefilter(Ctwins& twins, Ctwins::Cslot& slot, Ctwins::Cvariant& own, const Cfilter::Ccoefs& k,
                   const float* x, int steps, int done, int lastdone);

    bool m_unheard = false;
};
