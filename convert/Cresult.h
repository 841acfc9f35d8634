#pragma once
// The checks a converter runs on its finished WAVE file: a file that could not be written, no
// sound at all, a level worth raising (normalization off), or normalization to full scale.
// Each finding is a warning box owned by the converter's window, with the texts the user knows
// from the converter dialog.
//
// User-interface thread, after the render thread has finished and the file has been closed.
#include <string>

class Cwavfil;

enum class Rescheck {
    failed,       // a write or size patch failed: "Couldn't create the WAVE file"
    empty,        // no sample above magnitude 8: "WAVE file empty"
    normalized,   // scaled to full scale
    normfailed,   // normalize failed: "Error in WAVE file"
    advice,       // normalization off and at least 1 dB of headroom: "Adjust Master Volume"
    fine,         // loud enough already
};

struct Cresult {
    Rescheck kind = Rescheck::fine;
    int gain = 1024;   // normalization gain in 1/1024 units (33553408 / peak)
    int db = 0;        // headroom in whole dB (advice)
    bool capped = false;   // the conversion stopped at the length cap before the file's end
    bool aborted = false;  // stopped by Abort (or a signal) before the end
    bool replaced = false; // the finished file took the WAVE file's name
    // The file was written: not failed, not lost to a failed normalization.
    bool written() const { return kind != Rescheck::failed && kind != Rescheck::normfailed; }
};

// The gain that brings peak to full scale, in 1/1024 units: 33553408 / peak (32767 * 1024).
int normgain(int peak);
// Headroom of peak below 32767 in dB, truncated toward zero (0 for peak 32767 and above).
int headroomdb(int peak);

// Runs the checks on a closed WAVE file and shows the box of the finding (none for normalized
// and fine). normalize: the converter's "Normalize WAVE file" option.
Cresult checkresult(Cwavfil& wave, bool normalize, const void* owner);

// "%02u:%02u / %02u:%02u": minutes and seconds of the position, then of the total, each a
// microsecond value truncated to whole seconds.
std::string timetext(double elapsedus, double totalus);

// Texts and captions of the converter's warnings.
namespace restext {
extern const char* const CREATE;        // "There was an error while creating the WAVE file..."
extern const char* const CREATECAP;     // "Couldn't create the WAVE file"
extern const char* const EMPTY;
extern const char* const EMPTYCAP;      // "WAVE file empty"
extern const char* const NORMFAIL;
extern const char* const NORMFAILCAP;   // "Error in WAVE file"
extern const char* const ADVICECAP;     // "Adjust Master Volume"
extern const char* const SAMEFILE;      // the WAVE file is the MIDI file or the sound bank
extern const char* const CAPPED;        // stopped at the length cap
extern const char* const CAPPEDCAP;     // "WAVE file incomplete"
std::string advice(int db);             // the advice text with its dB figure
}
