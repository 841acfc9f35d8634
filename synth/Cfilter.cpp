#include "synth/Cfilter.h"

#include "synth/Cwide.h"

// The recurrence v = a(x - y) + c2 v, y = y + v runs eight samples at a time from the state
// before them, with the inputs' share of each output summed off the dependency chain: the chain
// then costs a multiply and two adds per eight samples instead of three dependent operations per
// sample. After a block y is its last output, and v comes from its own row. The rest of a step
// runs four samples at a time, then one by one. Built for AVX2 and for the baseline, with the same
// float operations in the same order in both.
CANTORIX_WIDE
void Cfilter::filterrun(float* x, int steps, int len, int last, const Ccoefs& k, float& ystate, float& vstate)
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
    std::memcpy(&py, k.py, sizeof py);
    std::memcpy(&pv, k.pv, sizeof pv);
    for (int i = 0; i < 4; ++i) std::memcpy(&h[i], k.hb4 + 4 - i, sizeof h[i]);
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
