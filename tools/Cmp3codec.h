#pragma once
// The external MP3 codec as the MP3 converter sees it: the two command lines it is started with
// and the progress patterns in its console output. No process handling here (see Cconsole), so
// every rule can be tested on plain text.
//
// Command lines: an encode is "<in.wav>" "<out.mp3>", a decode is --decode "<in.mp3>" "<out.wav>",
// each path in double quotes. The text is later split into an argument vector by
// Cconsole::splitargs, so a path holding a double quote is escaped to come out unchanged.
//
// Output: the runner queues the codec's output without line ends; the converter takes it in
// chunks of at most CHUNK bytes and looks in each chunk for
// - decoding: "Frame#" followed by two numbers k/t (t > 0): progress k * 100 / t, status "k/t";
// - encoding: the first "%", the run of digits right before it as the progress, and the text
//   between the next two "|" after it as the status; without both "|" nothing changes.
// Chunks are cut at CHUNK bytes whatever the line ends, so a pattern split between two chunks
// is not recognized.
#include "audio/Cnewfil.h"

#include <functional>
#include <string>

class Cmp3codec {
public:
    static constexpr int CHUNK = 260;

    // What one chunk (or a run of chunks) changes on the dialog.
    struct Update {
        int progress = -1;     // 0 .. 100, or -1: leave the progress as it is
        bool hasstatus = false;
        std::string status;    // the new status text, when hasstatus

        bool empty() const { return progress < 0 && !hasstatus; }
    };

    // The argument text for the codec (without the program).
    static std::string arguments(const std::string& input, const std::string& output, bool decode);
    // A path in double quotes such that Cconsole::splitargs gives it back unchanged.
    static std::string quote(const std::string& path);

    // Parses one chunk of len bytes. cut: more output followed this chunk in the queue, so a
    // number that runs to the chunk's end may be a cut one and is not taken.
    static Update parse(const char* text, size_t len, bool decode, bool cut);

    // Reads chunks with readout (dest, n) -> count, which fills dest with up to n bytes and a
    // zero byte, until it gives nothing more, and returns the combined update: the last
    // progress and the last status that any chunk set.
    static Update drain(const std::function<int(char*, int)>& readout, bool decode);
};

// The output of one codec run. The codec is told to write a new temporary file beside the
// output, which takes the output's name only when the run ended well; an aborted or failed run
// leaves any earlier file of that name as it was.
class Cmp3out {
public:
    // Refuses an output that is the input (false, errno EEXIST) and creates the temporary file
    // (false, errno set, when it cannot).
    bool begin(const std::string& input, const std::string& output);
    // The path the codec writes.
    const std::string& path() const { return m_file.temp(); }
    // ok: the codec ran to its end with exit code 0. Renames the result over the output, or
    // removes it; true when the output now holds the result.
    bool end(bool ok);

private:
    Cnewfil m_file;
};
