#pragma once
// The instrument named by a preset zone, as an instance: its zones, newest first.
#include "synth/Cizone.h"

#include <memory>
#include <vector>

class Cinstr {
public:
    Cinstr(Csynth& synth, int channel, int instrument, Cgenrange pzone);
    virtual ~Cinstr();

    // Delivers one message to the zones (idle ones get only note-on and control change) and
    // adds the exclusive class of every note it started to `classes`.
    void dispatch(int command, int data1, int data2, std::vector<int>& classes);
    void collect(std::vector<Cvoice*>& out) const;
    void reap();
    int active() const { return m_active; }
    void setpglobal(Cgenrange r);
    void renew();
    void releaseclass(int cls, uint32_t serial);

    std::vector<std::unique_ptr<Cizone>> m_zones;   // last zone of the bank first

private:
    void recount();
    int m_channel;
    int m_active = 0;
};
