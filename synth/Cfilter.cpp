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
