#pragma once
// SoundFont 2 generator operators: the `oper` field of a "pgen" or "igen" record. Numbers 14,
// 18..20, 42, 49, 55 and 59 are unused or reserved; endoper (60) closes the range a file may
// use. Units of the amounts: offsets in sample points (the coarse ones in steps of 32768 points),
// pitch in cents, filter cutoff in absolute cents, attenuation and levels in centibels, times in
// timecents, sends and pan in 0.1 %; ranges hold the low end in the low byte.
namespace sfgen {

enum Op : int {
    startofs = 0,               // points added to the sample's start
    endofs = 1,
    loopstartofs = 2,
    loopendofs = 3,
    startcoarseofs = 4,         // x 32768 points
    modlfotopitch = 5,          // cents at full LFO swing
    viblfotopitch = 6,
    modenvtopitch = 7,
    filterfc = 8,               // absolute cents
    filterq = 9,                // centibels
    modlfotofilterfc = 10,
    modenvtofilterfc = 11,
    endcoarseofs = 12,
    modlfotovolume = 13,        // centibels
    chorussend = 15,            // 0.1 %
    reverbsend = 16,
    pan = 17,                   // -500 (left) .. 500 (right), 0.1 %
    modlfodelay = 21,           // timecents
    modlfofreq = 22,            // absolute cents
    viblfodelay = 23,
    viblfofreq = 24,
    modenvdelay = 25,           // the modulation envelope's eight: delay, attack, hold, decay,
    modenvattack = 26,          // sustain, release, key to hold, key to decay
    modenvhold = 27,
    modenvdecay = 28,
    modenvsustain = 29,
    modenvrelease = 30,
    modenvkeytohold = 31,
    modenvkeytodecay = 32,
    volenvdelay = 33,           // the volume envelope's eight, in the same order
    volenvattack = 34,
    volenvhold = 35,
    volenvdecay = 36,
    volenvsustain = 37,
    volenvrelease = 38,
    volenvkeytohold = 39,
    volenvkeytodecay = 40,
    instrument = 41,            // preset zones: index of the instrument
    keyrange = 43,              // low byte lowest key, high byte highest key
    velrange = 44,
    loopstartcoarseofs = 45,
    fixedkey = 46,              // the key every note of the zone plays as
    fixedvel = 47,
    attenuation = 48,           // centibels
    loopendcoarseofs = 50,
    coarsetune = 51,            // half tones
    finetune = 52,              // cents
    sampleid = 53,              // instrument zones: index of the sample
    samplemodes = 54,           // 0 plays once; others loop, 3 only until the release
    scaletuning = 56,
    exclusiveclass = 57,
    rootkey = 58,               // overriding root key; -1 keeps the sample's own
    endoper = 60,
};

} // namespace sfgen
