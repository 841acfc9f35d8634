#pragma once
// Stereo reverberator: per channel 8 parallel comb filters, each with a one-pole low-pass in its
// feedback path, followed by 4 allpass filters in series. Both channels take the same mono input
// ((left + right) x 0.015); the right channel's lines are 23 samples longer, which decorrelates
// the two sides. Denormal values are flushed to 0 where they are read from a line and after each
// low-pass update, so a decaying tail never falls into slow denormal arithmetic. On SSE the
// processor's flush-to-zero and denormals-are-zero modes do this for the duration of run() (and
// so also flush denormal intermediate results); the caller's floating-point mode is restored.
#include <memory>

class Creverb {
public:
    static constexpr int NCOMB = 8, NALL = 4;
    static constexpr int STEREOSPREAD = 23;
    static constexpr int COMBLEN[NCOMB] = {1116, 1188, 1277, 1356, 1422, 1491, 1557, 1617};
    static constexpr int ALLLEN[NALL] = {556, 441, 341, 225};
    static constexpr float INGAIN = 0.015f;
    static constexpr float ALLFB = 0.5f;
    static constexpr int TAIL = 2794;   // frames of tail the flush pushes through

    Creverb();
    virtual ~Creverb();
    Creverb(const Creverb&) = delete;
    Creverb& operator=(const Creverb&) = delete;

    // Room size 0..1 -> comb feedback 0.7..0.98; damping 0..1 -> low-pass coefficient 0..0.4.
    void setroomsize(float r);
    void setdamp(float d);
    float feedback() const { return m_feedback; }
    // Clears every line and filter store; positions stay.
    void clear();
    // Adds the reverb of inputs (a, b) to (l, r) for n frames; a and b may be the same buffer.
    void run(const float* a, const float* b, float* l, float* r, int n);
    // The same, storing the reverberation in l and r instead of adding it: adding those later
    // gives exactly what run gives.
    void runwet(const float* a, const float* b, float* l, float* r, int n);

    struct Comb {
        float* line = nullptr;
        int len = 0, pos = 0;
        float store = 0.0f;
    };
    struct Allpass {
        float* line = nullptr;
        int len = 0, pos = 0;
    };

private:
    static constexpr int CHUNK = 256;
    // Adds the reverb into (l, r), or with add false stores it there.
    void runall(const float* a, const float* b, float* l, float* r, int n, bool add);
    void runchunk(const float* a, const float* b, float* l, float* r, int n, bool add);

    std::unique_ptr<float[]> m_mem;   // all lines, one allocation
    int m_memlen = 0;
    Comb m_comb[2][NCOMB];
    Allpass m_all[2][NALL];
    float m_feedback = 0.0f, m_damp1 = 0.0f, m_damp2 = 1.0f;
    float m_wet1 = 1.0f, m_wet2 = 0.0f;
};
