#pragma once
// A JACK client of the tests' own that records what another client plays: two input ports,
// connected to the output ports of the named client, filling a preallocated buffer in its process
// callback. Each cycle notes when it ran (jack_get_time, microseconds of the monotonic clock), so a
// test can tell when a recorded frame left the graph even when a loaded machine makes the
// server's own frame clock irregular.
#include <jack/jack.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace jackfixture {

class Jackrecorder {
public:
    // Room for `seconds` of stereo frames; ok() is false when no server answered.
    explicit Jackrecorder(double seconds)
    {
        m_client = jack_client_open("cantorix-rec", JackNoStartServer, nullptr);
        if (!m_client) return;
        m_rate = jack_get_sample_rate(m_client);
        m_room = size_t(seconds * m_rate);
        m_left.assign(m_room, 0.0f);
        m_right.assign(m_room, 0.0f);
        m_cycles.assign(m_room / 16 + 16, Cycle{});
        m_in[0] = jack_port_register(m_client, "in_l", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        m_in[1] = jack_port_register(m_client, "in_r", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(m_client, &Jackrecorder::process, this);
        if (!m_in[0] || !m_in[1] || jack_activate(m_client) != 0) {
            jack_client_close(m_client);
            m_client = nullptr;
        }
    }
    ~Jackrecorder()
    {
        if (m_client) jack_client_close(m_client);
    }
    bool ok() const { return m_client != nullptr; }
    uint32_t rate() const { return m_rate; }
    jack_client_t* client() const { return m_client; }

    // Connects the audio output ports of every client whose name starts with `prefix` to the
    // two inputs, in turn; the number of connections made.
    int connect(const std::string& prefix)
    {
        if (!m_client) return 0;
        const char** ports = jack_get_ports(m_client, ("^" + prefix).c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
        int made = 0;
        for (int i = 0; ports && ports[i]; ++i)
            made += jack_connect(m_client, ports[i], jack_port_name(m_in[i % 2])) == 0;
        if (ports) jack_free(ports);
        return made;
    }
    // Starts (again) filling the buffer from its beginning at the next cycle.
    void start() { m_restart.store(true, std::memory_order_release); }
    // Frames recorded since start(), at most the room.
    size_t frames() const { return m_count.load(std::memory_order_acquire); }
    const std::vector<float>& left() const { return m_left; }
    const std::vector<float>& right() const { return m_right; }
    // When recorded frame `frame` left the graph, in microseconds of jack_get_time(): the time
    // its cycle ran, plus its place in the cycle. 0 when unknown.
    jack_time_t timeof(size_t frame) const
    {
        const size_t n = m_ncycles.load(std::memory_order_acquire);
        for (size_t c = 0; c < n; ++c) {
            const Cycle& y = m_cycles[c];
            if (frame >= y.first && frame < y.first + y.frames)
                return y.usecs + jack_time_t((frame - y.first) * 1000000 / m_rate);
        }
        return 0;
    }

private:
    static int process(jack_nframes_t n, void* self)
    {
        auto* r = static_cast<Jackrecorder*>(self);
        const jack_time_t now = jack_get_time();
        if (r->m_restart.exchange(false, std::memory_order_acq_rel)) {
            r->m_count.store(0, std::memory_order_release);
            r->m_ncycles.store(0, std::memory_order_release);
            r->m_on = true;
        }
        if (!r->m_on) return 0;
        const auto* l = static_cast<const float*>(jack_port_get_buffer(r->m_in[0], n));
        const auto* rr = static_cast<const float*>(jack_port_get_buffer(r->m_in[1], n));
        size_t at = r->m_count.load(std::memory_order_relaxed);
        const size_t c = r->m_ncycles.load(std::memory_order_relaxed);
        if (c < r->m_cycles.size() && at < r->m_room) {
            r->m_cycles[c] = Cycle{at, n, now};
            r->m_ncycles.store(c + 1, std::memory_order_release);
        }
        for (jack_nframes_t i = 0; i < n && at < r->m_room; ++i, ++at) {
            r->m_left[at] = l[i];
            r->m_right[at] = rr[i];
        }
        r->m_count.store(at, std::memory_order_release);
        return 0;
    }

    struct Cycle {
        size_t first = 0;          // its first recorded frame
        jack_nframes_t frames = 0;
        jack_time_t usecs = 0;     // when its process callback ran
    };

    jack_client_t* m_client = nullptr;
    jack_port_t* m_in[2] = {nullptr, nullptr};
    uint32_t m_rate = 0;
    size_t m_room = 0;
    std::vector<float> m_left, m_right;
    std::atomic<bool> m_restart{false};
    bool m_on = false;   // process thread only
    std::atomic<size_t> m_count{0};
    std::vector<Cycle> m_cycles;
    std::atomic<size_t> m_ncycles{0};
};

}  // namespace jackfixture
