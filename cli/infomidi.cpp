#include "cli/Ccommand.h"

#include <cstdio>

// Filled in when the midi reader lands.
int infomidi(const std::string& path)
{
    std::fprintf(stderr, "cantorix-cli: %s: this kind of file is not supported yet\n", path.c_str());
    return 1;
}
