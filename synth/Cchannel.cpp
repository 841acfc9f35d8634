#include "synth/Cchannel.h"

#include "midi/Midicodes.h"
#include "synth/Cvoice.h"
#include "synth/Cvoicerun.h"

#include <algorithm>

Cchannel::Cchannel(Csynth& synth, int channel)
    : m_synth(synth), m_channel(channel), m_bank(channel == DRUMCHANNEL ? DRUMBANK : 0)
{
    m_voices.reserve(256);   // rendering then allocates only past this many voices
}

Cchannel::~Cchannel() { drop(); }

void Cchannel::drop()
{
    if (m_stock && m_preset) m_stock->give(m_preset.release());
    m_preset.reset();
}

void Cchannel::rewind()
{
    drop();
    m_program = 0;
    m_bank = m_channel == DRUMCHANNEL ? DRUMBANK : 0;
}

void Cchannel::dispatch(int command, int data1, int data2)
{
    if (command == midicmd::program) {
        drop();
        m_program = data1;
        return;
    }
    if (command == midicmd::control && data1 == midictl::bankmsb) {
        drop();
        m_bank = data2;
        return;
    }
    if (command == midicmd::control && data1 == midictl::banklsb) return;
    if (Cpreset* p = instance()) p->dispatch(command, data1, data2);
}

void Cchannel::resolve(const Cbankview* b, int channel, int& bank, int& program)
{
    if (b && channel == DRUMCHANNEL) {
        // Drums: the drum bank, else the nearest lower kit number that exists.
        bank = DRUMBANK;
        if (!b->find(DRUMBANK, program)) {
            int best = -1;
            for (size_t i = 0; i + 1 < b->phdrs.size(); ++i)
                if (b->phdrs[i].bank == DRUMBANK && b->phdrs[i].preset < program && b->phdrs[i].preset > best)
                    best = b->phdrs[i].preset;
            if (best >= 0) program = best;
        }
    } else if (b) {
        // Melodic: the same program in the nearest lower bank that has it.
        int at = bank;
        while (!b->find(at, program)) {
            int lower = -1;
            for (size_t i = 0; i + 1 < b->phdrs.size(); ++i)
                if (b->phdrs[i].bank < at && b->phdrs[i].bank > lower) lower = b->phdrs[i].bank;
            if (lower < 0) { at = bank; break; }
            at = lower;
        }
        bank = at;
    }
}

void Cchannel::create()
{
    resolve(m_synth.bank, m_channel, m_bank, m_program);
    if (m_stock) m_preset.reset(m_stock->take(m_channel, m_bank, m_program));
    else m_preset = std::make_unique<Cpreset>(m_synth, m_channel, m_bank, m_program);
}

bool Cchannel::fading() const
{
    if (!m_preset) return true;
    std::vector<Cvoice*> voices;
    m_preset->collect(voices);
    return std::all_of(voices.begin(), voices.end(), [](const Cvoice* v) { return v->fading(); });
}

void Cchannel::render(int n)
{
    if (!m_preset || n <= 0) return;
    // All voices render one slice before the next: the slice of the six buses they add into
    // stays in the processor's cache instead of streaming through memory once per voice. A
    // slice is a whole number of control steps, so the voices step exactly as in one call. The
    // voice runner takes a few slices at a time over the same voices; those that finish on the
    // way are reaped after it.
    static_assert(Cvoicerun::SLICE % synunits::CTLSTEP == 0);
    if (!m_synth.voicerun) m_synth.voicerun = std::make_shared<Cvoicerun>();
    const int at = m_synth.mixpos;
    for (int done = 0; done < n; done += Cvoicerun::JOB) {
        m_synth.mixpos = at + done;
        m_voices.clear();
        m_preset->collect(m_voices);
        m_synth.voicerun->render(m_synth, m_voices, std::min(Cvoicerun::JOB, n - done));
        m_preset->reap();
    }
    m_synth.mixpos = at;
}
