#include "synth/Creverb.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// A float whose exponent bits are all zero is 0 or a denormal; both become +0. Branch-free, so
// the compiler keeps the comb loops tight.
inline float flushdenormal(float x)
{
    uint32_t u;
    std::memcpy(&u, &x, 4);
    u &= (u & 0x7f800000u) ? ~0u : 0u;
    std::memcpy(&x, &u, 4);
    return x;
}

} // namespace

Creverb::Creverb()
{
    for (int ch = 0; ch < 2; ++ch) {
        for (int c = 0; c < NCOMB; ++c) m_memlen += COMBLEN[c] + ch * STEREOSPREAD;
        for (int a = 0; a < NALL; ++a) m_memlen += ALLLEN[a] + ch * STEREOSPREAD;
    }
    m_mem = std::make_unique<float[]>(m_memlen);
    float* p = m_mem.get();
    for (int ch = 0; ch < 2; ++ch) {
        for (int c = 0; c < NCOMB; ++c) {
            m_comb[ch][c].line = p;
            m_comb[ch][c].len = COMBLEN[c] + ch * STEREOSPREAD;
            p += m_comb[ch][c].len;
        }
        for (int a = 0; a < NALL; ++a) {
            m_all[ch][a].line = p;
            m_all[ch][a].len = ALLLEN[a] + ch * STEREOSPREAD;
            p += m_all[ch][a].len;
        }
    }
    // Wet 1/3 scaled by 3, width 1: each side hears only its own channel.
    const float wet = 1.0f / 3 * 3, width = 1.0f;
    m_wet1 = wet * (width / 2 + 0.5f);
    m_wet2 = wet * ((1 - width) / 2);
    setroomsize(0.5f);
    setdamp(0.5f);
    clear();
}

Creverb::~Creverb() = default;

void Creverb::setroomsize(float r)
{
    r = std::clamp(r, 0.0f, 1.0f);
    m_feedback = r * 0.28f + 0.7f;
}

void Creverb::setdamp(float d)
{
    d = std::clamp(d, 0.0f, 1.0f);
    m_damp1 = d * 0.4f;
    m_damp2 = 1 - m_damp1;
}

void Creverb::clear()
{
    std::fill(m_mem.get(), m_mem.get() + m_memlen, 0.0f);
    for (auto& side : m_comb)
        for (Comb& c : side) c.store = 0.0f;
}

void Creverb::run(const float* a, const float* b, float* l, float* r, int n)
{
    for (int i = 0; i < n; i += CHUNK) {
        const int k = std::min(CHUNK, n - i);
        runchunk(a + i, b + i, l + i, r + i, k);
    }
}

// One filter at a time over the whole chunk: each filter's state stays in registers, and the
// run up to the end of its line needs no wrap test.
void Creverb::runchunk(const float* a, const float* b, float* l, float* r, int n)
{
    float in[CHUNK], out[2][CHUNK];
    for (int i = 0; i < n; ++i) in[i] = (a[i] + b[i]) * INGAIN;
    const float fb = m_feedback, damp1 = m_damp1, damp2 = m_damp2;
    for (int ch = 0; ch < 2; ++ch) {
        float* acc = out[ch];
        std::fill(acc, acc + n, 0.0f);
        for (Comb& c : m_comb[ch]) {
            float* line = c.line;
            int pos = c.pos;
            float store = c.store;
            for (int i = 0; i < n;) {
                const int run = std::min(n - i, c.len - pos);
                for (int j = 0; j < run; ++j, ++i, ++pos) {
                    const float o = flushdenormal(line[pos]);
                    store = flushdenormal(o * damp2 + store * damp1);
                    line[pos] = in[i] + store * fb;
                    acc[i] += o;
                }
                if (pos == c.len) pos = 0;
            }
            c.pos = pos;
            c.store = store;
        }
        for (Allpass& ap : m_all[ch]) {
            float* line = ap.line;
            int pos = ap.pos;
            for (int i = 0; i < n;) {
                const int run = std::min(n - i, ap.len - pos);
                for (int j = 0; j < run; ++j, ++i, ++pos) {
                    const float buf = flushdenormal(line[pos]);
                    const float x = acc[i];
                    line[pos] = x + buf * ALLFB;
                    acc[i] = buf - x;
                }
                if (pos == ap.len) pos = 0;
            }
            ap.pos = pos;
        }
    }
    const float w1 = m_wet1, w2 = m_wet2;
    for (int i = 0; i < n; ++i) {
        l[i] += out[0][i] * w1 + out[1][i] * w2;
        r[i] += out[1][i] * w1 + out[0][i] * w2;
    }
}
