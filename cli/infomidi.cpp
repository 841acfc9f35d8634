// cantorix-cli info for MIDI and karaoke files: what the Properties view shows, plus the header,
// the lyric track and the instrument names of every channel.
#include "cli/Ccommand.h"
#include "midi/Cmidfil.h"
#include "midi/Cmidprops.h"
#include "midi/Cmixtab.h"

#include <cstdio>
#include <memory>

int infomidi(const std::string& path)
{
    Cmixtab mixer;
    std::unique_ptr<Cmidfil> file;
    if (!loadmidi(file, path, mixer)) return 1;
    Cmidprops props;
    props.scan(*file);
    const unsigned secs = unsigned(props.seconds);
    std::printf("File: %s\n", path.c_str());
    std::printf("Format: %u\nTracks: %u\nDivision: %u\n", file->format, file->ntrks, file->division);
    std::printf("Media length: %02u:%02u\n", secs / 60, secs % 60);
    std::printf("Copyright: %s\n", props.copyright.c_str());
    std::printf("FileType: %s\n", props.filetype.c_str());
    std::printf("Version: %s\n", props.version.c_str());
    std::printf("Information: %s\n", props.information.c_str());
    std::printf("Language: %s\n", props.language.c_str());
    for (int k = 0; k < 3; ++k) std::printf("Title %d: %s\n", k + 1, props.titles[k].c_str());
    const char* kind = file->lyrickind == 1 ? "Text" : file->lyrickind == 5 ? "Lyric" : "none";
    std::printf("Lyric track: %d (%s)\n", int(file->lyrictrack), kind);
    for (int ch = 0; ch < Cmixtab::NCHAN; ++ch)
        std::printf("Channel %d: %s\n", ch + 1, mixer[ch].names.c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}
