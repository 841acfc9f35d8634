#pragma once
// The synthesizer's view of a bank read by Csf2file or Ccompsf: copies of the record fields it
// walks, and sample audio fetched through the sample store. Build it once after rdfile; the
// bank and the store must outlive it.
#include "synth/Cbankview.h"

class Csf2file;
class Cstore;

class Csf2view : public Cbankview {
public:
    Csf2view(Csf2file& bank, Cstore& store);

    const int16_t* points(size_t index, uint32_t points, uint32_t& loaded) override;
    void unpin(size_t index) override;

protected:
    Csf2file& m_bank;
    Cstore& m_store;
};
