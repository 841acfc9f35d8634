#include "tools/Clivesynth.h"

#include "convert/Ccontext.h"
#include "platform/Cwaveio.h"
#include "synth/Clive.h"

#include <chrono>
#include <thread>

std::unique_ptr<Clivesynth> Clivesynth::open(Ccontext& ctx, const Ctimeline* events, int key, int period)
{
    Cwavesys* sys = wavesys();
    if (!sys || !ctx.bank || !ctx.bank->loaded) return nullptr;
    std::unique_ptr<Clivesynth> s(new Clivesynth);
    s->m_live = std::make_unique<Clive>(ctx.settings, &ctx.mixer, *ctx.bank, ctx.store);
    s->m_live->keysgiven();
    // Before the stream starts: no note of the file waits for its samples.
    if (events) s->m_live->prepare(*events, key);
    Waveformat fmt;
    fmt.rate = Clive::RATE;
    s->m_stream = sys->openstream(ctx.settings.waveout, fmt, period, *s->m_live);
    if (!s->m_stream) return nullptr;
    return s;
}

Clivesynth::~Clivesynth()
{
    // Silence first, then the stream: its destruction drops what the device still holds and
    // returns once the callback has run for the last time, so the engine may go after it.
    if (m_live) m_live->hush();
    m_stream.reset();
    m_live.reset();
}

bool Clivesynth::send(const uint8_t* bytes, size_t n)
{
    if (!m_live || n == 0) return false;
    if (m_live->post(bytes, n)) {
        m_stuck = false;
        return true;
    }
    if (m_stuck) return false;   // a device that stopped taking periods: fail at once
    // Each period empties the queue; a few periods at most.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (m_live->post(bytes, n)) return true;
    }
    m_stuck = true;
    return false;
}

double Clivesynth::latency() const
{
    return m_stream ? m_stream->latency() : 0.0;
}
