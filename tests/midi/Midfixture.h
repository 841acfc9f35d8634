#pragma once
// Writes MIDI bytes into a temporary file and reads them with Cmidfil.
#include "midi/Cmidfil.h"
#include "support/Tempdir.h"

#include <memory>

struct Midfixture {
    Tempdir dir;
    std::unique_ptr<Cmidfil> file;

    // Reads bytes as a file; the Cmidfil stays in `file` for inspection.
    bool read(const Bytes& bytes, Cmixtab* mixer = nullptr)
    {
        const std::string path = dir.file("t.mid");
        writebytes(path, bytes);
        file = std::make_unique<Cmidfil>(path, mixer);
        return file->rdmidi();
    }
    // Events of one track, first to last.
    std::vector<const Cmidiev*> events(int track) const
    {
        std::vector<const Cmidiev*> out;
        for (const Cmidiev* ev = file->track(track) ? file->track(track)->first : nullptr; ev; ev = ev->next)
            out.push_back(ev);
        return out;
    }
};
