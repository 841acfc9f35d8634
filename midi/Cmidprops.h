#pragma once
// The facts the Properties view shows of a MIDI or karaoke file: media length, the last
// copyright notice and the karaoke header tags ("@K", "@V", "@I", "@L", "@T" Text events).
// Texts are copied with their length (they are not terminated in the file), at most MAXTEXT
// bytes each.
#include <string>

class Cmidfil;

struct Cmidprops {
    static constexpr size_t MAXTEXT = 259;

    double seconds = 0;   // media length
    std::string copyright;
    std::string filetype, version, information, language;
    std::string titles[3];

    // Scans every event of every track; when no title tag exists but Lyric events longer than
    // 7 bytes do, the first three of those stand in as titles.
    void scan(const Cmidfil& file);
};
