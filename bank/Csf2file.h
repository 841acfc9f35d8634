#pragma once
// A SoundFont 2 bank (RIFF form "sfbk"): rdfile reads its structure into record lists in file
// order; no audio is read. The file stays open while the bank lives, because the sample store
// (Cstore) reads each sample's audio on its first request. Ccompsf reads the program's own
// compressed format into the same lists.
//
// Lifetime: a bank given a store releases its samples from that store when destroyed, so the
// store must outlive every bank that uses it.
#include "bank/Sfrec.h"
#include "midi/Cbasfil.h"

#include <cstdint>
#include <string>
#include <vector>

class Cstore;

class Csf2file : public Cbasfil {
public:
    explicit Csf2file(std::string path, Cstore* store = nullptr);
    ~Csf2file() override;

    // Reads the bank's structure and shows its own message box on failure.
    virtual bool rdfile();

    int fd = -1;                 // -1 when no file is open
    uint8_t loaded = 0;          // 1 after a successful rdfile
    // Why the last rdfile failed, for the boxes of its callers: the system's reason when the
    // file could not be opened, else what is wrong with its contents. Empty after a success.
    std::string failure;
    std::vector<Sfphdr> phdrs;   // presets
    std::vector<Sfbag> pbags;
    std::vector<Sfgen> pgens;
    std::vector<Sfinst> insts;   // instruments
    std::vector<Sfbag> ibags;
    std::vector<Sfgen> igens;
    std::vector<Sfshdr> shdrs;   // samples
    int64_t smploff = 0;         // file position of the first byte of sample data
    int64_t filesize = 0;        // bytes, taken when the file was opened
    // Bytes of audio the file holds, as loaded (46 padding bytes per sample included): for plain
    // points at most the sample data chunk of a SoundFont 2 file, however its sample headers
    // overlap; for Ogg Vorbis samples their decoded points, each stream counted once.
    uint64_t audiobytes = 0;

    Cstore* store() const { return m_store; }

    // Most points one sample may hold (about 100 minutes at 44100 Hz).
    static constexpr uint32_t MAXPOINTS = 1u << 28;

protected:
    // Reads whole records of one list (count = size / record size); with m_scramble on, the
    // bytes are descrambled with the running key position m_keypos. False on a short read.
    bool rdphdr(uint32_t size);
    bool rdbag(std::vector<Sfbag>& list, uint32_t size);
    bool rdgen(std::vector<Sfgen>& list, uint32_t size);
    bool rdinst(uint32_t size);
    // Reads size bytes at the current position, descrambled when m_scramble is on.
    bool rdbytes(void* dest, size_t size);
    bool skip(int64_t bytes);
    bool openfile();
    // Releases the samples' audio, empties the lists and closes the file: a new rdfile starts
    // from nothing.
    void reset();
    // Refuses what would play as something it is not: a sample type of unknown kind or flags
    // (the Ogg Vorbis flag only where allowvorbis), an Ogg Vorbis stream that is not one mono
    // stream or claims more points than its bytes hold, streams that overlap. Measures each
    // Ogg Vorbis stream's length, and makes ROM samples (whose points are not in the file)
    // silent. False with the reason, naming the sample, in why.
    bool vet(bool allowvorbis, std::string& why);
    // Keeps every index field inside its list and non-decreasing, and every sample's stored
    // audio inside the file, so that no later walk leaves a list or reads past the file.
    void tidy();

    Cstore* m_store = nullptr;
    uint64_t m_smplbytes = 0;    // size of a SoundFont 2 file's sample data chunk (0: none)
    uint64_t m_added = 0;        // audiobytes given to the store's budget
    bool m_scramble = false;
    unsigned m_keypos = 0;       // 0 .. KEYLEN-1
};
