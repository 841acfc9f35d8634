#include "synth/Creverb.h"

#include "synth/Cwide.h"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

namespace {

#if defined(__SSE2__)
// On SSE the processor itself replaces denormals by 0: DAZ reads denormal operands as 0 and FTZ
// writes 0 for every result that would be denormal, which is what the explicit flush below does
// at each line read and store update, only without costing an instruction per value. The
// caller's control word is put back on return.
constexpr bool HWFLUSH = true;
class Flushmode {
public:
    Flushmode() : m_saved(_mm_getcsr()) { _mm_setcsr(m_saved | FTZ | DAZ); }
    ~Flushmode() { _mm_setcsr(m_saved); }
    Flushmode(const Flushmode&) = delete;
    Flushmode& operator=(const Flushmode&) = delete;

private:
    static constexpr unsigned FTZ = 0x8000, DAZ = 0x0040;
    unsigned m_saved;
};
#else
constexpr bool HWFLUSH = false;
struct Flushmode {};
#endif

// A float whose exponent bits are all zero is 0 or a denormal, that is |x| < FLT_MIN; both
// become +0. Written as a compare and select on floats, which compiles to three SSE operations.
inline float flushdenormal(float x)
{
    if constexpr (HWFLUSH) return x;
    return std::fabs(x) < std::numeric_limits<float>::min() ? 0.0f : x;
}

// One allpass over `run` frames that do not wrap its line. Every frame touches its own line
// entry, so four frames go at once (written out: the compiler's cheap vectorisation at -O2
// leaves loops of unknown length alone).
void allpassrun(float* __restrict line, float* __restrict acc, int run)
{
    int k = 0;
#if defined(__SSE2__)
    if constexpr (HWFLUSH) {
        const __m128 half = _mm_set1_ps(Creverb::ALLFB);
        for (; k + 4 <= run; k += 4) {
            const __m128 buf = _mm_loadu_ps(line + k);
            const __m128 x = _mm_loadu_ps(acc + k);
            _mm_storeu_ps(line + k, _mm_add_ps(x, _mm_mul_ps(buf, half)));
            _mm_storeu_ps(acc + k, _mm_sub_ps(buf, x));
        }
    }
#endif
    for (; k < run; ++k) {
        const float buf = flushdenormal(line[k]);
        const float x = acc[k];
        line[k] = x + buf * Creverb::ALLFB;
        acc[k] = buf - x;
    }
}

#if defined(__SSE2__)
// The eight combs of one side, four samples at a time from sample j: each sample's eight reads
// are summed in comb order as the one-by-one loop sums them, then the reads go across, one comb
// to a lane in two vectors, where each comb's damping and feedback run sample after sample with
// the operations of the one-by-one loop, and the new line values go back. With denormals flushed
// by the hardware that loop's explicit flushes change nothing, so both give the same floats.
// Returns the sample after the last one done; p[c] is comb c's line at sample 0.
int combquads(float* const* p, const float* in, float* acc, int j, int piece, float* store, float damp1,
              float damp2, float fb)
{
    static_assert(Creverb::NCOMB == 8);
    const __m128 d1 = _mm_set1_ps(damp1), d2 = _mm_set1_ps(damp2), f = _mm_set1_ps(fb);
    __m128 s0 = _mm_loadu_ps(store), s1 = _mm_loadu_ps(store + 4);
    for (; j + 4 <= piece; j += 4) {
        __m128 o[8];
        __m128 sum = _mm_setzero_ps();
        for (int c = 0; c < 8; ++c) {
            o[c] = _mm_loadu_ps(p[c] + j);
            sum = _mm_add_ps(sum, o[c]);
        }
        _mm_storeu_ps(acc + j, sum);
        _MM_TRANSPOSE4_PS(o[0], o[1], o[2], o[3]);
        _MM_TRANSPOSE4_PS(o[4], o[5], o[6], o[7]);
        for (int k = 0; k < 4; ++k) {
            const __m128 x = _mm_set1_ps(in[j + k]);
            s0 = _mm_add_ps(_mm_mul_ps(o[k], d2), _mm_mul_ps(s0, d1));
            s1 = _mm_add_ps(_mm_mul_ps(o[4 + k], d2), _mm_mul_ps(s1, d1));
            o[k] = _mm_add_ps(x, _mm_mul_ps(s0, f));
            o[4 + k] = _mm_add_ps(x, _mm_mul_ps(s1, f));
        }
        _MM_TRANSPOSE4_PS(o[0], o[1], o[2], o[3]);
        _MM_TRANSPOSE4_PS(o[4], o[5], o[6], o[7]);
        for (int c = 0; c < 8; ++c) _mm_storeu_ps(p[c] + j, o[c]);
    }
    _mm_storeu_ps(store, s0);
    _mm_storeu_ps(store + 4, s1);
    return j;
}
#endif

#ifdef CANTORIX_AVX2
// Transposes eight vectors of eight in place.
__attribute__((target("avx2"), always_inline)) inline void transpose8(__m256* r)
{
    __m256 t[8], u[8];
    for (int i = 0; i < 4; ++i) {
        t[2 * i] = _mm256_unpacklo_ps(r[2 * i], r[2 * i + 1]);
        t[2 * i + 1] = _mm256_unpackhi_ps(r[2 * i], r[2 * i + 1]);
    }
    for (int h = 0; h < 2; ++h) {
        const __m256 *a = t + 4 * h;
        u[4 * h] = _mm256_shuffle_ps(a[0], a[2], _MM_SHUFFLE(1, 0, 1, 0));
        u[4 * h + 1] = _mm256_shuffle_ps(a[0], a[2], _MM_SHUFFLE(3, 2, 3, 2));
        u[4 * h + 2] = _mm256_shuffle_ps(a[1], a[3], _MM_SHUFFLE(1, 0, 1, 0));
        u[4 * h + 3] = _mm256_shuffle_ps(a[1], a[3], _MM_SHUFFLE(3, 2, 3, 2));
    }
    for (int i = 0; i < 4; ++i) {
        r[i] = _mm256_permute2f128_ps(u[i], u[4 + i], 0x20);
        r[4 + i] = _mm256_permute2f128_ps(u[i], u[4 + i], 0x31);
    }
}

// The same eight samples at a time, all eight combs in one vector.
__attribute__((target("avx2"))) int combeights(float* const* p, const float* in, float* acc, int piece,
                                               float* store, float damp1, float damp2, float fb)
{
    const __m256 d1 = _mm256_set1_ps(damp1), d2 = _mm256_set1_ps(damp2), f = _mm256_set1_ps(fb);
    __m256 s = _mm256_loadu_ps(store);
    int j = 0;
    for (; j + 8 <= piece; j += 8) {
        __m256 o[8];
        __m256 sum = _mm256_setzero_ps();
        for (int c = 0; c < 8; ++c) {
            o[c] = _mm256_loadu_ps(p[c] + j);
            sum = _mm256_add_ps(sum, o[c]);
        }
        _mm256_storeu_ps(acc + j, sum);
        transpose8(o);
        for (int k = 0; k < 8; ++k) {
            s = _mm256_add_ps(_mm256_mul_ps(o[k], d2), _mm256_mul_ps(s, d1));
            o[k] = _mm256_add_ps(_mm256_set1_ps(in[j + k]), _mm256_mul_ps(s, f));
        }
        transpose8(o);
        for (int c = 0; c < 8; ++c) _mm256_storeu_ps(p[c] + j, o[c]);
    }
    _mm256_storeu_ps(store, s);
    return j;
}
#endif

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

void Creverb::run(const float* a, const float* b, float* l, float* r, int n) { runall(a, b, l, r, n, true); }

void Creverb::runwet(const float* a, const float* b, float* l, float* r, int n) { runall(a, b, l, r, n, false); }

void Creverb::runall(const float* a, const float* b, float* l, float* r, int n, bool add)
{
    const Flushmode flushmode;
    for (int i = 0; i < n; i += CHUNK) {
        const int k = std::min(CHUNK, n - i);
        runchunk(a + i, b + i, l + i, r + i, k, add);
    }
}

// The 8 combs of a channel run side by side, frame by frame: each comb's low-pass store is a
// serial chain from one frame to the next, and 8 independent chains keep the processor busy
// where one chain at a time would wait on each multiply-add. The allpasses then run one at a time
// over the whole chunk: their only feedback is through lines of 225 frames or more.
void Creverb::runchunk(const float* a, const float* b, float* l, float* r, int n, bool add)
{
    float in[CHUNK], out[2][CHUNK];
    int i0 = 0;
#if defined(__SSE2__)
    for (const __m128 g = _mm_set1_ps(INGAIN); i0 + 4 <= n; i0 += 4)
        _mm_storeu_ps(in + i0, _mm_mul_ps(_mm_add_ps(_mm_loadu_ps(a + i0), _mm_loadu_ps(b + i0)), g));
#endif
    for (int i = i0; i < n; ++i) in[i] = (a[i] + b[i]) * INGAIN;
    const float fb = m_feedback, damp1 = m_damp1, damp2 = m_damp2;
    for (int ch = 0; ch < 2; ++ch) {
        float* acc = out[ch];
        float* line[NCOMB];
        int pos[NCOMB], len[NCOMB];
        float store[NCOMB];
        for (int c = 0; c < NCOMB; ++c) {
            line[c] = m_comb[ch][c].line;
            pos[c] = m_comb[ch][c].pos;
            len[c] = m_comb[ch][c].len;
            store[c] = m_comb[ch][c].store;
        }
        // Split the chunk where any comb's line wraps; inside a piece every comb reads and
        // writes straight on from its position.
        for (int i = 0; i < n;) {
            int piece = n - i;
            for (int c = 0; c < NCOMB; ++c) piece = std::min(piece, len[c] - pos[c]);
            float* p[NCOMB];
            for (int c = 0; c < NCOMB; ++c) p[c] = line[c] + pos[c];
            const float* inp = in + i;
            float* accp = acc + i;
            int j = 0;
#if defined(__SSE2__)
            if constexpr (HWFLUSH) {
#ifdef CANTORIX_AVX2
                if (wide::avx2()) j = combeights(p, inp, accp, piece, store, damp1, damp2, fb);
#endif
                j = combquads(p, inp, accp, j, piece, store, damp1, damp2, fb);
            }
#endif
            for (; j < piece; ++j) {
                const float x = inp[j];
                float sum = 0.0f;
#pragma GCC unroll 8
                for (int c = 0; c < NCOMB; ++c) {
                    const float o = flushdenormal(p[c][j]);
                    store[c] = flushdenormal(o * damp2 + store[c] * damp1);
                    p[c][j] = x + store[c] * fb;
                    sum += o;
                }
                accp[j] = sum;
            }
            i += piece;
            for (int c = 0; c < NCOMB; ++c) {
                pos[c] += piece;
                if (pos[c] == len[c]) pos[c] = 0;
            }
        }
        for (int c = 0; c < NCOMB; ++c) {
            m_comb[ch][c].pos = pos[c];
            m_comb[ch][c].store = store[c];
        }
        for (Allpass& ap : m_all[ch]) {
            int appos = ap.pos;
            for (int i = 0; i < n;) {
                const int run = std::min(n - i, ap.len - appos);
                allpassrun(ap.line + appos, acc + i, run);
                i += run;
                appos += run;
                if (appos == ap.len) appos = 0;
            }
            ap.pos = appos;
        }
    }
    const float w1 = m_wet1, w2 = m_wet2;
    i0 = 0;
#if defined(__SSE2__)
    const __m128 v1 = _mm_set1_ps(w1), v2 = _mm_set1_ps(w2);
    for (; i0 + 4 <= n; i0 += 4) {
        const __m128 o0 = _mm_loadu_ps(out[0] + i0), o1 = _mm_loadu_ps(out[1] + i0);
        const __m128 ml = _mm_add_ps(_mm_mul_ps(o0, v1), _mm_mul_ps(o1, v2));
        const __m128 mr = _mm_add_ps(_mm_mul_ps(o1, v1), _mm_mul_ps(o0, v2));
        _mm_storeu_ps(l + i0, add ? _mm_add_ps(_mm_loadu_ps(l + i0), ml) : ml);
        _mm_storeu_ps(r + i0, add ? _mm_add_ps(_mm_loadu_ps(r + i0), mr) : mr);
    }
#endif
    for (int i = i0; i < n; ++i) {
        const float wl = out[0][i] * w1 + out[1][i] * w2, wr = out[1][i] * w1 + out[0][i] * w2;
        l[i] = add ? l[i] + wl : wl;
        r[i] = add ? r[i] + wr : wr;
    }
}
