#include "platform/Cmidiport.h"

#include <atomic>

namespace {
std::atomic<Cmidisys*> g_midisys{nullptr};
}

Cmidisys* setmidisys(Cmidisys* sys)
{
    return g_midisys.exchange(sys);
}

Cmidisys* midisys()
{
    return g_midisys.load();
}
