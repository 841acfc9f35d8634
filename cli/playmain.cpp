// cantorix-play: what "cantorix-cli play" runs. The player needs the audio devices' libraries,
// which the statically linked cantorix-cli cannot load; it hands its arguments over to this
// program, which takes its process over.
#include "cli/Ccommand.h"

#include "audio/Cnewfil.h"

int main(int argc, char** argv)
{
    Cnewfil::guardsignals();
    return cmdplay(Args(argv + 1, argv + argc));
}
