#pragma once
// Numbers of the MIDI protocol that the reader, the synthesizer and the players act on.
//
// midicmd: a channel message's command, the high nibble of its status byte (0x80..0xEF); the low
// nibble is the channel. midictl: controller numbers, the first data byte of a control change.
// The percussion channel: MIDI channel 10, index 9 counted from 0. SoundFont banks keep the
// drum kits in bank 128.
constexpr int DRUMCHANNEL = 9;
constexpr int DRUMBANK = 128;

namespace midicmd {

enum Cmd : int {
    noteoff = 0x8,
    noteon = 0x9,               // velocity 0 is a note-off
    keypressure = 0xA,
    control = 0xB,
    program = 0xC,              // one data byte
    chanpressure = 0xD,         // one data byte
    pitchbend = 0xE,            // low 7 bits, then high 7 bits; 8192 is the centre
};

} // namespace midicmd

namespace midictl {

enum Ctl : int {
    bankmsb = 0,
    modwheel = 1,
    datamsb = 6,                // data entry for the selected parameter number
    volume = 7,
    undefined9 = 9,
    pan = 10,
    expression = 11,
    banklsb = 32,
    datalsb = 38,
    sustain = 64,               // pedals: 64 and above is down
    sostenuto = 66,
    soft = 67,
    reverb = 91,                // effect sends
    chorus = 93,
    detune = 94,
    nrpnlsb = 98,
    nrpnmsb = 99,
    rpnlsb = 100,               // registered parameter number; 0, 0 is the pitch bend range
    rpnmsb = 101,
    allsoundoff = 120,
    resetall = 121,
    allnotesoff = 123,
};

} // namespace midictl
