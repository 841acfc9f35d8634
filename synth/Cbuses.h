#pragma once
// The six mixing buses between the voices and the effects processor: the dry signal, the chorus
// send and the reverb send, each as a left and a right line. Voices add into them in this order
// (Csynth::bus) and the effects processor owns and reads them in it (Ceffects::bus).
struct Cbuses {
    enum { DRYL, DRYR, CHOL, CHOR, REVL, REVR, NBUS };
};
