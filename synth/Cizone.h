#pragma once
// An instrument zone of a preset instance: its key and velocity ranges, its sample, its
// exclusive class, the four generator ranges a new voice is built from, the channel's controller
// state, and its voices (active newest first, and free ones kept for re-use: in the converter only
// those that kept something from their notes, and those behind them).
#include "synth/Cvoice.h"

#include <cstddef>
#include <vector>

// A run of generators [begin, end) in the preset or instrument generator list.
struct Cgenrange {
    size_t begin = 0, end = 0;
};

// The generator run of bag b: from its generator index to the next bag's, kept inside the list
// whatever indices the file holds.
inline Cgenrange genrange(const std::vector<Cbankview::Bag>& bags, size_t ngens, size_t b)
{
    Cgenrange r;
    r.begin = bags[b].gen < ngens ? bags[b].gen : ngens;
    r.end = b + 1 < bags.size() && bags[b + 1].gen < ngens ? bags[b + 1].gen : ngens;
    if (r.end < r.begin) r.end = r.begin;
    return r;
}

// Controller state of a channel, as this zone has received it.
struct Cchanstate {
    int volume = 100;          // controller 7
    int expression = 127;      // controller 11
    bool sostenuto = false;
    bool soft = false;
    int bend = 0;              // -8192..8191
    int revsend = 0, chosend = 0;   // 0..198, 0.1 %
    int pan = 2000;            // -500..492 (0.1 %); 2000 = never set
    int rpnmsb = -1, rpnlsb = -1;
    int datamsb = 0;
    int bendrange = 200;       // cents
};

class Cizone {
public:
    Cizone(Csynth& synth, int channel, Cgenrange own);
    virtual ~Cizone();
    Cizone(const Cizone&) = delete;
    Cizone& operator=(const Cizone&) = delete;

    // Delivers one message; a note-on that started in a zone with an exclusive class returns
    // the class, else 0.
    int dispatch(int command, int data1, int data2);
    // Appends the sounding voices; after they rendered, reap() returns the stopped ones to the
    // free list.
    void collect(std::vector<Cvoice*>& out) const;
    void reap();
    int active() const { return m_active; }

    // Releases every voice of the class that started before note-on message `serial`.
    void releaseclass(int cls, uint32_t serial);

    // A voice for this zone: a free one, or a new one built from the generators; null when the
    // synthesizer's voice pool has no slot left.
    Cvoice* take();
    void putfree(Cvoice* v);
    // Ends a voice object (and its partner) for good: its storage goes back to the pool, or is
    // freed.
    void discard(Cvoice* v);
    // Gives the free voice objects back for good (to the pool, where they can serve any zone).
    void shedfree();
    // Back to the state of a new zone: every voice ends at once and goes for good, and the
    // controller state is the initial one.
    void renew();
    float attenuation() const;

    Csynth& m_synth;
    int m_channel;
    Cchanstate m_state;
    int m_keylo = 0, m_keyhi = 127, m_vello = 0, m_velhi = 127;
    int m_sample = -1;
    const Cbankview::Smp* m_smp = nullptr;
    int m_class = 0;
    Cizone* m_link = nullptr;    // right half: the left zone; left half: itself
    Cgenrange m_own, m_iglobal, m_pglobal, m_pzone;

    Cvoice* m_voices = nullptr;  // active, newest first
    int m_active = 0;
    Cvoice* m_free = nullptr;
    int m_freekept = 0;          // free objects that are not pristine (Cvoice::pristine)
    bool m_generrors = false;    // a generator of a new voice object was not applied

private:
    void noteon(int key, int vel);
    void noteoff(int key);
    void control(int ctl, int val);
    void sustainup();
    void recycle(Cvoice* v);
    void destroyall();
    // With no voice object to be had: the quietest releasing voice of the zone (the oldest of
    // equally quiet ones) ends and is taken for the new note; null when none is releasing.
    Cvoice* steal();
    void notedata(Cnote& n, int key, int vel) const;
};
