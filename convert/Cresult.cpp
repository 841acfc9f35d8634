#include "convert/Cresult.h"

#include "audio/Cwavfil.h"
#include "platform/Cmsgbox.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace restext {
const char* const CREATE = "There was an error while creating the WAVE file\nPlease check if:\na) Your hard drive is "
                           "not full\nb) You have write premission for the file\nc) The file is nor read-only";
const char* const CREATECAP = "Couldn't create the WAVE file";
const char* const EMPTY =
    "The WAVE file created has no sound. Possible causes:\n1) Your MIDI/Kar file doesn't have sound generating "
    "commands\n2) Your MIDI/Kar file doesn't have preset selection commands\n3) Your Sound Font doesn't have the "
    "required presets\nSuggestion: Activate 'Show MIDI error messages' then check\nyour MIDI/Kar file and Sound Font "
    "file and try again";
const char* const EMPTYCAP = "WAVE file empty";
const char* const NORMFAIL =
    "An error ocurred while normalizing the values in the \noutput WAVE file.\nPlease check your hard-disk space and "
    "try again";
const char* const NORMFAILCAP = "Error in WAVE file";
const char* const ADVICECAP = "Adjust Master Volume";
const char* const SAMEFILE = "The WAVE file is the MIDI/KAR file itself or the sound bank\nWriting it would destroy "
                             "its input\nPlease choose another WAVE file name and try again";
const char* const CAPPED = "The conversion stopped at 6 hours of audio before the end of the\nMIDI/KAR file; the WAVE "
                           "file was not written\nPlease check the file's tempo and last events";
const char* const CAPPEDCAP = "WAVE file incomplete";

std::string advice(int db)
{
    char t[200];
    std::snprintf(t, sizeof t,
                  "To obtain better dynamics in your WAVE file\nyou should go to Settings/Effects, increase the\n"
                  "Master Volume by %u dB and try again",
                  unsigned(db));
    return t;
}
} // namespace restext

int normgain(int peak)
{
    return peak > 0 ? 33553408 / peak : 0;
}

int headroomdb(int peak)
{
    if (peak <= 0) return 0;
    const double d = std::trunc(20 * std::log10(32767.0 / peak));
    return d > 0 ? int(d) : 0;
}

Cresult checkresult(Cwavfil& wave, bool normalize, const void* owner)
{
    Cresult r;
    if (wave.failed() != Wverr::none) {
        // The file on disk is damaged; its level means nothing.
        r.kind = Rescheck::failed;
        msgbox(restext::CREATE, restext::CREATECAP, Boxicon::warning, owner, filedetail(wave.path()));
        return r;
    }
    if (wave.peak <= 0) {
        r.kind = Rescheck::empty;
        msgbox(restext::EMPTY, restext::EMPTYCAP, Boxicon::warning, owner, filedetail(wave.path()));
        return r;
    }
    r.gain = normgain(wave.peak);
    if (normalize) {
        if (r.gain > 1024) {
            r.kind = Rescheck::normalized;
            if (!wave.normalize(r.gain)) {
                r.kind = Rescheck::normfailed;
                msgbox(restext::NORMFAIL, restext::NORMFAILCAP, Boxicon::warning, owner, filedetail(wave.path()));
            }
        }
        return r;
    }
    r.db = headroomdb(wave.peak);
    if (r.db > 0) {
        r.kind = Rescheck::advice;
        msgbox(restext::advice(r.db), restext::ADVICECAP, Boxicon::warning, owner, filedetail(wave.path()));
    }
    return r;
}

std::string timetext(double elapsedus, double totalus)
{
    auto secs = [](double us) { return us > 0 && us < 4.0e15 ? unsigned(uint64_t(us * 0.000001)) : 0u; };
    const unsigned t = secs(totalus);
    // The position never reads past the total: the last block and the release tail run on
    // beyond the song's last event.
    const unsigned e = std::min(secs(elapsedus), t);
    char s[64];
    std::snprintf(s, sizeof s, "%02u:%02u / %02u:%02u", e / 60, e % 60, t / 60, t % 60);
    return s;
}
