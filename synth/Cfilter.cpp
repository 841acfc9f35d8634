#include "synth/Cfilter.h"

#include "synth/Cwide.h"

#include <algorithm>
#include <cmath>

// The recurrence v = a(x - y) + c2 v, y = y + v runs eight samples at a time from the state
// before them, with the inputs' share of each output summed off the dependency chain: the chain
// then costs a multiply and two adds per eight samples instead of three dependent operations per
// sample. After a block y is its last output, and v comes from its own row. The rest of a step
// runs four samples at a time, then one by one. Built for AVX2 and for the baseline, with the same
// float operations in the same order in both.
namespace {

CANTORIX_INLINE inline void filterloop(float* x, int steps, int len, int last, const Cfilter::Ccoefs& k, float& ystate, float& vstate)
{
    typedef float v8 __attribute__((vector_size(32)));
    typedef float v4 __attribute__((vector_size(16)));
    float y = ystate, v = vstate;
    v8 py8, pv8, gv8, c[8];
    std::memcpy(&py8, k.py8, sizeof py8);
    std::memcpy(&pv8, k.pv8, sizeof pv8);
    std::memcpy(&gv8, k.gv8, sizeof gv8);
    const float qy8 = k.qy8, qv8 = k.qv8;
    for (int i = 0; i < 8; ++i) std::memcpy(&c[i], k.hb8 + 8 - i, sizeof c[i]);
    v4 py, pv, h[4];
    std::memcpy(&py, k.py8, sizeof py);
    std::memcpy(&pv, k.pv8, sizeof pv);
    for (int i = 0; i < 4; ++i) std::memcpy(&h[i], k.hb8 + 8 - i, sizeof h[i]);
    const float qy = k.qy, qv = k.qv, g0 = k.g[0], g1 = k.g[1], g2 = k.g[2], g3 = k.g[3];
    const float a = k.a, cc = k.c2;
    for (int j = 0; j < steps; ++j, x += len) {
        const int n = j == steps - 1 ? last : len;
        int i = 0;
        for (; i + 8 <= n; i += 8) {
            const float* in = x + i;
            const v8 fir = ((c[0] * in[0] + c[1] * in[1]) + (c[2] * in[2] + c[3] * in[3])) +
                           ((c[4] * in[4] + c[5] * in[5]) + (c[6] * in[6] + c[7] * in[7]));
            const v8 out = (py8 * y + pv8 * v) + fir;
            v8 in8;
            std::memcpy(&in8, in, sizeof in8);
            const v8 tv = gv8 * in8;
            const float firv = ((tv[0] + tv[1]) + (tv[2] + tv[3])) + ((tv[4] + tv[5]) + (tv[6] + tv[7]));
            v = (qy8 * y + qv8 * v) + firv;
            y = out[7];
            std::memcpy(x + i, &out, sizeof out);
        }
        for (; i + 4 <= n; i += 4) {
            const float x0 = x[i], x1 = x[i + 1], x2 = x[i + 2], x3 = x[i + 3];
            const v4 fir = (h[0] * x0 + h[1] * x1) + (h[2] * x2 + h[3] * x3);
            const float firv = (g0 * x0 + g1 * x1) + (g2 * x2 + g3 * x3);
            const v4 out = (py * y + pv * v) + fir;
            v = (qy * y + qv * v) + firv;
            y = out[3];
            std::memcpy(x + i, &out, sizeof out);
        }
        for (; i < n; ++i) {
            v = a * (x[i] - y) + cc * v;
            y += v;
            x[i] = y;
        }
        if (std::fabs(v) < 1e-20f) v = 0;
        if (std::fabs(y) < 1e-20f) y = 0;
    }
    ystate = y;
    vstate = v;
}

} // namespace

void Cfilter::filterrun(float* x, int steps, int len, int last, const Ccoefs& k, float& ystate, float& vstate)
{
    wide::run([&]() CANTORIX_INLINE { filterloop(x, steps, len, last, k, ystate, vstate); });
}

void Cfilter::runsets(float* x, int steps, int len, int last, const Ccoefs* sets, const uint8_t* set)
{
    wide::run([&]() CANTORIX_INLINE {
        for (int j = 0; j < steps;) {
            int e = j + 1;
            while (e < steps && set[e] == set[j]) ++e;
            filterloop(x + size_t(j) * size_t(len), e - j, len, e == steps ? last : len, sets[set[j]], m_y, m_v);
            j = e;
        }
    });
}

// Several filters over one input, one filter in each lane of a vector: a vector holds the
// filters' values of one output, or of one coefficient, and the input is broadcast to all lanes.
// Every lane does the float operations of filterloop in its order, so it gives the same floats.
// Only the products of an input with an output before it are left out: their coefficient is zero,
// so such a product is a zero, adding it leaves a sum unchanged but for the sign of a zero sum, and
// a zero's sign changes no other value on its way through the filter (x finite). Products and
// sums stay separate operations: the AVX2 build enables no fused multiply-add. The AVX2 build runs
// eight filters to a vector; the baseline build four, its widest shuffles.
namespace {

typedef float v8 __attribute__((vector_size(32)));
typedef float v4 __attribute__((vector_size(16)));

// Transposes four vectors of four in place.
CANTORIX_INLINE inline void transpose4(v4* r)
{
    const v4 t0 = __builtin_shufflevector(r[0], r[1], 0, 4, 1, 5), t1 = __builtin_shufflevector(r[0], r[1], 2, 6, 3, 7);
    const v4 t2 = __builtin_shufflevector(r[2], r[3], 0, 4, 1, 5), t3 = __builtin_shufflevector(r[2], r[3], 2, 6, 3, 7);
    r[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    r[1] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    r[2] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    r[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// The same in each half of four vectors of eight: lane l's values in r[0..3] go to the low half of
// u[l] and lane l + 4's to the high half.
CANTORIX_INLINE inline void transpose4(const v8* r, v8* u)
{
    const v8 t0 = __builtin_shufflevector(r[0], r[1], 0, 8, 1, 9, 4, 12, 5, 13);
    const v8 t1 = __builtin_shufflevector(r[0], r[1], 2, 10, 3, 11, 6, 14, 7, 15);
    const v8 t2 = __builtin_shufflevector(r[2], r[3], 0, 8, 1, 9, 4, 12, 5, 13);
    const v8 t3 = __builtin_shufflevector(r[2], r[3], 2, 10, 3, 11, 6, 14, 7, 15);
    u[0] = __builtin_shufflevector(t0, t2, 0, 1, 8, 9, 4, 5, 12, 13);
    u[1] = __builtin_shufflevector(t0, t2, 2, 3, 10, 11, 6, 7, 14, 15);
    u[2] = __builtin_shufflevector(t1, t3, 0, 1, 8, 9, 4, 5, 12, 13);
    u[3] = __builtin_shufflevector(t1, t3, 2, 3, 10, 11, 6, 7, 14, 15);
}

// Writes four outputs r[0..3] (a vector of lanes each) at `at` in the outputs of the lanes.
CANTORIX_INLINE inline void put4(const v4* r, float* const* out, int lanes, int at)
{
    v4 t[4] = {r[0], r[1], r[2], r[3]};
    transpose4(t);
    for (int l = 0; l < lanes; ++l) std::memcpy(out[l] + at, &t[l], sizeof t[l]);
}
CANTORIX_INLINE inline void put4(const v8* r, float* const* out, int lanes, int at)
{
    v8 u[4];
    transpose4(r, u);
    for (int l = 0; l < lanes; ++l) {
        const v4 o = l < 4 ? __builtin_shufflevector(u[l], u[l], 0, 1, 2, 3)
                           : __builtin_shufflevector(u[l - 4], u[l - 4], 4, 5, 6, 7);
        std::memcpy(out[l] + at, &o, sizeof o);
    }
}

// The same for eight outputs r[0..7].
CANTORIX_INLINE inline void put8(const v4* r, float* const* out, int lanes, int at)
{
    put4(r, out, lanes, at);
    put4(r + 4, out, lanes, at + 4);
}
CANTORIX_INLINE inline void put8(const v8* r, float* const* out, int lanes, int at)
{
    v8 u[8];
    transpose4(r, u);
    transpose4(r + 4, u + 4);
    for (int l = 0; l < lanes; ++l) {
        const v8 o = l < 4 ? __builtin_shufflevector(u[l], u[l + 4], 0, 1, 2, 3, 8, 9, 10, 11)
                           : __builtin_shufflevector(u[l - 4], u[l], 4, 5, 6, 7, 12, 13, 14, 15);
        std::memcpy(out[l] + at, &o, sizeof o);
    }
}

// The first four outputs' share f[j] of the inputs x0..x3 in a block, h[d] being the share of an
// input in the output d samples after it; the four- and the eight-sample forms sum them alike.
template <class V> CANTORIX_INLINE inline void fir4(const V* h, float x0, float x1, float x2, float x3, V* f)
{
    f[0] = h[0] * x0;
    f[1] = h[1] * x0 + h[0] * x1;
    f[2] = (h[2] * x0 + h[1] * x1) + h[0] * x2;
    f[3] = (h[3] * x0 + h[2] * x1) + (h[1] * x2 + h[0] * x3);
}

// full: every lane of the vectors holds a filter (lanes is the vector's width), so that writing
// the outputs needs no test per lane.
template <class V, bool full>
CANTORIX_INLINE inline void lanesloop(const float* x, float* const* out, int anylanes, int steps, int len, int last,
                                      const Cfilter::Ccoefs* const* k, float* ystate, float* vstate)
{
    constexpr int W = sizeof(V) / 4;
    const int lanes = full ? W : anylanes;
    typedef decltype(V{} < V{}) M;
    // The coefficients and the state by lane; lanes without a filter get zeros and stay zero.
    float e[43][W] = {};
    for (int l = 0; l < lanes; ++l) {
        const Cfilter::Ccoefs& c = *k[l];
        for (int j = 0; j < 8; ++j) {
            e[j][l] = c.hb8[8 + j];
            e[8 + j][l] = c.py8[j];
            e[16 + j][l] = c.pv8[j];
            e[24 + j][l] = c.gv8[j];
        }
        const float rest[11] = {c.qy8, c.qv8, c.qy, c.qv, c.g[0], c.g[1], c.g[2], c.g[3], c.a, c.c2, ystate[l]};
        for (int j = 0; j < 11; ++j) e[32 + j][l] = rest[j];
    }
    V h[8], py[8], pv[8], gv8[8], qy8, qv8, qy, qv, g[4], a, cc, y, v{};
    std::memcpy(h, e[0], sizeof h);
    std::memcpy(py, e[8], sizeof py);
    std::memcpy(pv, e[16], sizeof pv);
    std::memcpy(gv8, e[24], sizeof gv8);
    std::memcpy(&qy8, e[32], sizeof qy8);
    std::memcpy(&qv8, e[33], sizeof qv8);
    std::memcpy(&qy, e[34], sizeof qy);
    std::memcpy(&qv, e[35], sizeof qv);
    std::memcpy(g, e[36], sizeof g);
    std::memcpy(&a, e[40], sizeof a);
    std::memcpy(&cc, e[41], sizeof cc);
    std::memcpy(&y, e[42], sizeof y);
    std::memcpy(&v, vstate, sizeof *vstate * size_t(lanes));
    for (int s = 0, at = 0; s < steps; ++s, at += len) {
        const int n = s == steps - 1 ? last : len;
        const float* in = x + at;
        int i = 0;
        for (; i + 8 <= n; i += 8) {
            const float x0 = in[i], x1 = in[i + 1], x2 = in[i + 2], x3 = in[i + 3];
            const float x4 = in[i + 4], x5 = in[i + 5], x6 = in[i + 6], x7 = in[i + 7];
            V f[4];
            fir4(h, x0, x1, x2, x3, f);
            const V a4 = (h[4] * x0 + h[3] * x1) + (h[2] * x2 + h[1] * x3);
            const V a5 = (h[5] * x0 + h[4] * x1) + (h[3] * x2 + h[2] * x3);
            const V a6 = (h[6] * x0 + h[5] * x1) + (h[4] * x2 + h[3] * x3);
            const V a7 = (h[7] * x0 + h[6] * x1) + (h[5] * x2 + h[4] * x3);
            const V r[8] = {
                (py[0] * y + pv[0] * v) + f[0],
                (py[1] * y + pv[1] * v) + f[1],
                (py[2] * y + pv[2] * v) + f[2],
                (py[3] * y + pv[3] * v) + f[3],
                (py[4] * y + pv[4] * v) + (a4 + h[0] * x4),
                (py[5] * y + pv[5] * v) + (a5 + (h[1] * x4 + h[0] * x5)),
                (py[6] * y + pv[6] * v) + (a6 + ((h[2] * x4 + h[1] * x5) + h[0] * x6)),
                (py[7] * y + pv[7] * v) + (a7 + ((h[3] * x4 + h[2] * x5) + (h[1] * x6 + h[0] * x7))),
            };
            const V firv = ((gv8[0] * x0 + gv8[1] * x1) + (gv8[2] * x2 + gv8[3] * x3)) +
                           ((gv8[4] * x4 + gv8[5] * x5) + (gv8[6] * x6 + gv8[7] * x7));
            v = (qy8 * y + qv8 * v) + firv;
            y = r[7];
            put8(r, out, lanes, at + i);
        }
        if (i + 4 <= n) {
            const float x0 = in[i], x1 = in[i + 1], x2 = in[i + 2], x3 = in[i + 3];
            V f[4];
            fir4(h, x0, x1, x2, x3, f);
            const V r[4] = {
                (py[0] * y + pv[0] * v) + f[0],
                (py[1] * y + pv[1] * v) + f[1],
                (py[2] * y + pv[2] * v) + f[2],
                (py[3] * y + pv[3] * v) + f[3],
            };
            v = (qy * y + qv * v) + ((g[0] * x0 + g[1] * x1) + (g[2] * x2 + g[3] * x3));
            y = r[3];
            put4(r, out, lanes, at + i);
            i += 4;
        }
        for (; i < n; ++i) {
            v = a * (in[i] - y) + cc * v;
            y += v;
            float o[W];
            std::memcpy(o, &y, sizeof o);
            for (int l = 0; l < lanes; ++l) out[l][at + i] = o[l];
        }
        const V tiny = V{} + 1e-20f;
        v = V(M(v) & ~((v < tiny) & (v > -tiny)));
        y = V(M(y) & ~((y < tiny) & (y > -tiny)));
    }
    std::memcpy(ystate, &y, sizeof *ystate * size_t(lanes));
    std::memcpy(vstate, &v, sizeof *vstate * size_t(lanes));
}

// All lanes, in vectors of V, a group of one alone.
template <class V>
CANTORIX_INLINE inline void lanegroups(const float* x, float* const* out, int lanes, int steps, int len, int last,
                                       const Cfilter::Ccoefs* const* k, float* y, float* v)
{
    constexpr int W = sizeof(V) / 4;
    for (int l = 0; l < lanes; l += W) {
        const int n = std::min(lanes - l, W);
        if (n == W) {
            lanesloop<V, true>(x, out + l, n, steps, len, last, k + l, y + l, v + l);
        } else if (n > 1) {
            lanesloop<V, false>(x, out + l, n, steps, len, last, k + l, y + l, v + l);
        } else {
            std::memcpy(out[l], x, sizeof *x * size_t((steps - 1) * len + last));
            filterloop(out[l], steps, len, last, *k[l], y[l], v[l]);
        }
    }
}

} // namespace

void Cfilter::runlanes(const float* x, float* const* out, int lanes, int steps, int len, int last,
                       const Ccoefs* const* k, float* y, float* v)
{
    if (steps <= 0) return;
#ifdef CANTORIX_AVX2
    if (wide::avx2()) {
        wide::runavx2([&]() CANTORIX_INLINE { lanegroups<v8>(x, out, lanes, steps, len, last, k, y, v); });
        return;
    }
#endif
    wide::runplain([&]() CANTORIX_INLINE { lanegroups<v4>(x, out, lanes, steps, len, last, k, y, v); });
}

namespace {

typedef double v4d __attribute__((vector_size(32)));

// Taylor coefficients of cos: (-1)^k / (2k)!, k = 0..14. On 0 <= w <= pi (a cutoff below half
// the output rate) the first omitted term is below 1e-18.
constexpr double COS[15] = {
    1.0, -1.0 / 2, 1.0 / 24, -1.0 / 720, 1.0 / 40320, -1.0 / 3628800, 1.0 / 479001600,
    -1.0 / 87178291200.0, 1.0 / 20922789888000.0, -1.0 / 6402373705728000.0,
    1.0 / 2432902008176640000.0, -1.0 / 1.1240007277776077e21, 1.0 / 6.2044840173323941e23,
    -1.0 / 4.0329146112660565e26, 1.0 / 3.0488834461171387e29,
};

// The values of one set of coefficients for a double or for four lanes of doubles: the
// recurrence's c, c2 and a, and its block forms. The state (y, v) after one sample is
// M (y, v) + b x with M = [[1 - a, c2], [-a, c2]] and b = (a, a). In a block, output j is row 0
// of M^(j+1) times the state before the block plus the sum over the inputs i <= j of row 0 of
// M^(j-i) b times x_i; v after the block likewise from row 1.
template <class T> struct Cset {
    T c, c2, a;
    T py[8], pv[8];   // row 0 of M^(j+1)
    T mb[8][2];       // M^k b
    T q4[2], q8[2];   // row 1 of M^4 and M^8
};

template <class T> __attribute__((always_inline)) inline void compute(const T& f, double q, Cset<T>& s)
{
    const T w = f * 0.00014247585732426305;   // 2 pi / 44100
    const T c = 1 - w / (w + 2 * q + 1 / (w + 1) - 2);
    const T w2 = w * w;
    T cw = T{} + COS[14];
    for (int k = 13; k >= 0; --k) cw = cw * w2 + COS[k];
    const T c2 = c * c;
    const T a = c2 + 1 - 2 * c * cw;
    s.c = c;
    s.c2 = c2;
    s.a = a;
    s.mb[0][0] = s.mb[0][1] = a;
    for (int t = 1; t < 8; ++t) {
        s.mb[t][0] = (1 - a) * s.mb[t - 1][0] + c2 * s.mb[t - 1][1];
        s.mb[t][1] = -a * s.mb[t - 1][0] + c2 * s.mb[t - 1][1];
    }
    T m00 = T{} + 1, m01 = T{}, m10 = T{}, m11 = T{} + 1;
    for (int j = 0; j < 8; ++j) {
        const T r00 = (1 - a) * m00 + c2 * m10, r01 = (1 - a) * m01 + c2 * m11;
        const T r10 = -a * m00 + c2 * m10, r11 = -a * m01 + c2 * m11;
        m00 = r00; m01 = r01; m10 = r10; m11 = r11;
        s.py[j] = m00;
        s.pv[j] = m01;
        if (j == 3) { s.q4[0] = m10; s.q4[1] = m11; }
    }
    s.q8[0] = m10;
    s.q8[1] = m11;
}

// Lane l of a value.
inline double lane(double x, int) { return x; }
inline double lane(const v4d& x, int l) { return x[l]; }

template <class T> __attribute__((always_inline)) inline void store(const Cset<T>& s, int l, Cfilter::Ccoefs& k)
{
    k.c = float(lane(s.c, l));
    k.c2 = float(lane(s.c2, l));
    k.a = float(lane(s.a, l));
    for (int j = 0; j < 8; ++j) {
        k.py8[j] = float(lane(s.py[j], l));
        k.pv8[j] = float(lane(s.pv[j], l));
        k.hb8[j] = 0;
        k.hb8[8 + j] = float(lane(s.mb[j][0], l));
        k.gv8[j] = float(lane(s.mb[7 - j][1], l));
    }
    k.qy8 = float(lane(s.q8[0], l));
    k.qv8 = float(lane(s.q8[1], l));
    for (int j = 0; j < 4; ++j) k.g[j] = float(lane(s.mb[3 - j][1], l));
    k.qy = float(lane(s.q4[0], l));
    k.qv = float(lane(s.q4[1], l));
}

void plainsets(const double* f, double q, Cfilter::Ccoefs* k, int n)
{
    for (int i = 0; i < n; ++i) {
        Cset<double> s;
        compute(f[i], q, s);
        store(s, 0, k[i]);
    }
}

#ifdef CANTORIX_AVX2
__attribute__((target("avx2"))) void widesets(const double* f, double q, Cfilter::Ccoefs* k, int n)
{
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        v4d fv;
        std::memcpy(&fv, f + i, sizeof fv);
        Cset<v4d> s;
        compute(fv, q, s);
        for (int l = 0; l < 4; ++l) store(s, l, k[i + l]);
    }
    plainsets(f + i, q, k + i, n - i);
}
#endif

} // namespace

void Cfilter::coefsfor(const double* f, double q, Ccoefs* k, int n)
{
#ifdef CANTORIX_AVX2
    if (wide::avx2() && n >= 4) { widesets(f, q, k, n); return; }
#endif
    plainsets(f, q, k, n);
}

double Cfilter::peakgain(double f, double q)
{
    const double w = f * 0.00014247585732426305;
    const double c = 1 - w / (w + 2 * q + 1 / (w + 1) - 2);
    if (!(c > 0 && c < 1)) return HUGE_VAL;
    const double a = c * c + 1 - 2 * c * std::cos(w);
    // |H| = a / |D| with D(z) = 1 + b1/z + b2/z^2, and |D|^2 on the unit circle is a quadratic
    // in x = cos(theta): 1 + b1^2 + b2^2 - 2 b2 + 2 b1 (1 + b2) x + 4 b2 x^2, least at its
    // vertex or at an end of [-1, 1].
    const double b1 = -2 * c * std::cos(w), b2 = c * c;
    const double x = std::clamp(-b1 * (1 + b2) / (4 * b2), -1.0, 1.0);
    const double d2 = 1 + b1 * b1 + b2 * b2 - 2 * b2 + 2 * b1 * (1 + b2) * x + 4 * b2 * x * x;
    return d2 > 0 ? a / std::sqrt(d2) : HUGE_VAL;
}

double Cfilter::mostgain() const
{
    // The modulation only ever raises the cutoff, by up to both depths at once; the coefficients
    // follow cutoffs below 20000 Hz. A moving cutoff's gain is taken at cutoffs spread over that
    // range, with a margin for what lies between them; every gain has a margin for the
    // coefficients' rounding to float.
    const double top = std::min(m_basehz + std::fabs(m_devlfo) + std::max(m_devenv, 0.0), 20000.0);
    if (!(top > m_basehz)) return peakgain(m_basehz, m_q) * 1.05;
    constexpr int N = 16;
    double g = peakgain(m_basehz, m_q);
    for (int i = 1; i <= N; ++i) g = std::max(g, peakgain(m_basehz + (top - m_basehz) * i / N, m_q));
    return g * 1.25;
}
