#include "convert/Ccontext.h"

Ccontext::Ccontext() : store(&settings), effects(settings, &abort) {}

Ccontext::Ccontext(uint64_t storebudget) : store(storebudget, &settings), effects(settings, &abort) {}

Ccontext::~Ccontext()
{
    // Output first (it may still be open after an interrupted run), then the MIDI file while the
    // mixer table it clears still exists, then the bank while its store exists.
    effects.setoutput(nullptr);
    wave.reset();
    midi.reset();
    bank.reset();
}

bool Ccontext::loadmidi(const std::string& path)
{
    midipath = path;
    midititle = titleof(path);
    return ::loadmidi(midi, path, mixer);
}

void Ccontext::setmidi(std::unique_ptr<Cmidfil> file, const std::string& path)
{
    midi = std::move(file);
    midipath = midi ? path : std::string();
    midititle = midi ? titleof(path) : std::string();
}

void Ccontext::setwave(const std::string& path)
{
    if (effects.output() == wave.get()) effects.setoutput(nullptr);
    wave = std::make_unique<Cwavfil>(path);
    wavepath = path;
    wavetitle = titleof(path);
}

void Ccontext::derivewave()
{
    if (midititle.empty()) return;
    setwave(settings.workdir + "/" + wavtitle(midititle));
    markmade();
}

void Ccontext::markmade()
{
    m_madewave = wavepath;
    m_madefrom = midipath;
}

bool Ccontext::madefrommidi() const
{
    return wave && midi && !wavepath.empty() && wavepath == m_madewave && midipath == m_madefrom;
}

std::string titleof(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string wavtitle(const std::string& title)
{
    const size_t dot = title.find_last_of('.');
    return (dot == std::string::npos ? title : title.substr(0, dot)) + ".wav";
}
