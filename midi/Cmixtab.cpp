#include "midi/Cmixtab.h"

#include "midi/Cchanev.h"
#include "midi/Cmidfil.h"
#include "midi/Midicodes.h"

namespace {
const char* const PROGNAMES[128] = {
    "Acoustic Grand Piano", "Bright Acoustic Piano", "Electric Grand Piano", "Honky-tonk Piano",
    "Rhodes Piano", "Chorused Piano", "Harpsichord", "Clavinet Chromatic",
    "Celesta", "Glockenspiel", "Music Box", "Vibraphone",
    "Marimba", "Xylophone", "Tubular Bells", "Dulcimer",
    "Hammond Organ", "Percussive Organ", "Rock Organ", "Church Organ",
    "Reed Organ", "Accordion", "Harmonica", "Tango Accordion",
    "Acoustic Guitar(nylon)", "Acoustic Guitar(steel)", "Electric Guitar(jazz)", "Electric Guitar(clean)",
    "Electric Guitar(muted)", "Overdriven Guitar", "Distortion Guitar", "Guitar Harmonics",
    "Acoustic Bass", "Electric Bass(finger)", "Electric Bass(pick)", "Fretless Bass",
    "Slap Bass 1", "Slap Bass 2", "Synth Bass 1", "Synth Bass 2",
    "Violin", "Viola", "Cello", "Contrabass",
    "Tremolo Strings", "Pizzicato Strings", "Orchestral Harp", "Timpani",
    "String Ensemble 1", "String Ensemble 2", "Synth Strings 1", "Synth Strings 2",
    "Choir Aahs", "Voice Oohs", "Synth Voice", "Orchestra Hit",
    "Trumpet", "Trombone", "Tuba", "Muted Trumpet",
    "French Horn", "Brass Section", "Synth Brass 1", "Synth Brass 2",
    "Soprano Sax", "Alto Sax", "Tenor Sax", "Baritone Sax",
    "Oboe", "English Horn", "Bassoon", "Clarinet",
    "Piccolo", "Flute", "Recorder", "Pan flute",
    "Bottle Blow", "Shakuhachi", "Whistle", "Ocarina",
    "Lead 1(square)", "Lead 2(sawtooth)", "Lead 3(caliope lead)", "Lead 4(chiff lead)",
    "Lead 5(charang)", "Lead 6(voice)", "Lead 7(fifths)", "Lead 8(brass+lead)",
    "Pad 1(new age)", "Pad 2(warm)", "Pad 3(polysynth)", "Pad 4(choir)",
    "Pad 5(bowed)", "Pad 6(metallic)", "Pad 7(halo)", "Pad 8(sweep)",
    "FX 1(rain)", "FX 2(soundtrack)", "FX 3(crystal)", "FX 4(atmosphere)",
    "FX 5(brightness)", "FX 6(goblins)", "FX 7(echoes)", "FX 8(sci-fi)",
    "Sitar", "Banjo", "Shamisen", "Koto",
    "Kalimba", "Bagpipe", "Fidle", "Shanai",
    "Tinkle Bell", "Agogo", "Steel Drums", "Woodblock",
    "Taiko Drum", "Melodic Tom", "Synth Drum", "Reverse Cymbal",
    "Guitar Fret Noise", "Breath Noise", "Seashore", "Bird Tweet",
    "Telephone", "Helicopter", "Applause", "Gunshot",
};
}

const char* Cmixtab::progname(int program)
{
    return PROGNAMES[program & 127];
}

void Cmixtab::clear()
{
    for (Cmixrec& r : m_rec) {
        r.names.clear();
        r.names.shrink_to_fit();
        r.gain.store(0, std::memory_order_relaxed);
        r.mute.store(false, std::memory_order_relaxed);
    }
}

void Cmixtab::setgain(int ch, int tenthsdb)
{
    const int g = tenthsdb < MINGAIN ? MINGAIN : tenthsdb > MAXGAIN ? MAXGAIN : tenthsdb;
    m_rec[ch & 15].gain.store(g, std::memory_order_relaxed);
}

void Cmixtab::name(const Cmidfil& file)
{
    for (int i = 0; i < file.ntrks; ++i) {
        const Ctrack* tr = file.track(i);
        if (!tr) continue;
        for (const Cmidiev* ev = tr->first; ev; ev = ev->next) {
            if (ev->kind() != 0 || ev->command() != midicmd::program) continue;
            std::string& text = m_rec[ev->channel()].names;
            if (ev->channel() == DRUMS) {
                if (text.empty()) text = "Percussion";
                continue;
            }
            const char* prog = progname(ev->data1());
            if (text.empty()) text = prog;
            else if (text.find(prog) == std::string::npos) text += std::string("/") + prog;
        }
    }
}

bool loadmidi(std::unique_ptr<Cmidfil>& current, const std::string& path, Cmixtab& mixer)
{
    current.reset();
    current = std::make_unique<Cmidfil>(path, &mixer);
    if (!current->rdmidi()) {
        current.reset();
        return false;
    }
    mixer.clear();
    mixer.name(*current);
    return true;
}
