#include "settings/Csettings.h"

void Csettings::effectdefaults()
{
    set(roomsize, 0.5f);
    set(damping, 50);
    set(reverbamt, 0.0f);
    set(chorusamt, 0.0f);
    set(mastervoldb, 0);
    set(complevel, 8);
    set(delayms, 20);
    set(delaymodms, 0);
    set(delayfb, 0.0f);
    set(delayamt, 0.5f);
    set(spreadms, 8);
}

void Csettings::convdefaults()
{
    set(normalize, true);
    set(showerrors, false);
    set(tempo, 0);
    set(transpose, 0);
}
