#include "cli/Ccommand.h"

#include <cstdio>

// Filled in when the MIDI reader lands.
int cmddump(const Args&)
{
    std::fprintf(stderr, "cantorix-cli: dump is not supported yet\n");
    return 1;
}
