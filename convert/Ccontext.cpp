#include "convert/Ccontext.h"

#include "bank/Ccompsf.h"
#include "convert/Csequen.h"
#include "platform/Cmsgbox.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

Ccontext::Ccontext() : store(&settings), effects(settings, &abort, Csequen::BUSFRAMES) {}

Ccontext::Ccontext(uint64_t storebudget) : Ccontext(storebudget, Csequen::BUSFRAMES) {}

Ccontext::Ccontext(uint64_t storebudget, int busframes)
    : store(storebudget, &settings), effects(settings, &abort, busframes)
{
}

Ccontext::~Ccontext()
{
    // Output first (it may still be open after an interrupted run), then the MIDI file while the
    // mixer table it clears still exists, then the bank while its store exists.
    effects.setoutput(nullptr);
    replacewave(nullptr);
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
    setwave(std::make_unique<Cwavfil>(path), path);
}

void Ccontext::setwave(std::unique_ptr<Cwavfil> file, const std::string& path)
{
    replacewave(std::move(file));
    wavepath = path;
    wavetitle = titleof(path);
}

bool Ccontext::loadbank(const void* boxowner)
{
    if (!bank) {
        const std::string& path = settings.bankpath;
        if (settings.compressed) bank = std::make_unique<Ccompsf>(path, &store);
        else bank = std::make_unique<Csf2file>(path, &store);
        bank->rdfile();
    }
    if (bank->loaded) return true;
    // The boxes keep their texts; their detail names the bank and why it failed.
    const std::string& path = bank->path();
    if (access(path.c_str(), F_OK) != 0) {
        const int err = errno;
        msgbox("The required sound bank does not exist.\nThe file \"" + path +
                   "\" was not found\nPlease go to Settings/Options, select another sound bank and try again",
               "Couldn't find sound bank", Boxicon::warning, boxowner, filedetail(path, err));
    } else {
        const std::string& why = bank->failure;
        msgbox("The sound bank could not be loaded\nIt is either corrupt or it has an unknown format\nPlease go to "
               "Settings/Options, select another sound bank and try again",
               "Couldn't load sound bank", Boxicon::warning, boxowner,
               filedetail(path) + (why.empty() ? std::string() : "\n" + why));
    }
    return false;
}

void Ccontext::clearmidi()
{
    midi.reset();
    midipath.clear();
    midititle.clear();
}

void Ccontext::clearwave()
{
    replacewave(nullptr);
    wavepath.clear();
    wavetitle.clear();
}

void Ccontext::replacewave(std::unique_ptr<Cwavfil> file)
{
    if (effects.output() == wave.get()) effects.setoutput(nullptr);
    wave = std::move(file);
}

void Ccontext::derivewave()
{
    if (midititle.empty()) return;
    setwave(settings.workdir + "/" + wavtitle(midititle));
}

void Ccontext::markmade()
{
    if (!wave || !midi || wavepath.empty()) return;
    const std::optional<Cfileid> id = fileid(wavepath);
    if (id) m_made[wavepath] = Cmade{midipath, *id};
    else m_made.erase(wavepath);
}

bool Ccontext::madefrommidi() const
{
    if (!wave || !midi || wavepath.empty()) return false;
    const auto it = m_made.find(wavepath);
    return it != m_made.end() && it->second.midipath == midipath && fileid(wavepath) == it->second.id;
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

std::string lowercase(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

std::string dotext(const std::string& name)
{
    const size_t dot = name.find_last_of('.');
    return dot == std::string::npos ? "" : lowercase(name.substr(dot));
}
