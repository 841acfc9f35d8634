#pragma once
// Writes a SoundFont 2 file (RIFF "sfbk") from a bank's record lists and each sample's points:
// INFO (version 2.01, sound engine, bank name), "sdta" with one "smpl" chunk holding every
// sample followed by 46 zero bytes, and "pdta" with the nine sub-chunks. Modulator lists are
// written as their terminal records only and every bag's modulator index is 0.
#include "bank/Cpacker.h"

#include <string>

class Csf2writer {
public:
    static bool wrfile(const Csf2file& bank, const Caudio& audio, const std::string& path, const std::string& name);
};
