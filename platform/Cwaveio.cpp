#include "platform/Cwaveio.h"

namespace {
std::atomic<Cwavesys*> g_wavesys{nullptr};
}

Cwavesys* setwavesys(Cwavesys* sys)
{
    return g_wavesys.exchange(sys);
}

Cwavesys* wavesys()
{
    return g_wavesys.load();
}
