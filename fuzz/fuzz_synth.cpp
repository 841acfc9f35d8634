// Plays arbitrary generator values and channel messages through a bank built from the input:
// whatever the values, no voice may read outside its sample or loop forever.
//
// Input: 16 bytes of sample header (length, loop start, loop end, rate, root key, correction,
// type, link), a generator count byte and that many (operator, amount) records of 3 bytes for
// each of two instrument zones and one preset zone, then messages of 3 bytes (command, data 1,
// data 2), each followed by a render of up to 1000 samples.
#include "settings/Csettings.h"
#include "synth/Cbankview.h"
#include "synth/Cchannel.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

struct Reader {
    const uint8_t* p;
    size_t n;
    int byte() { return n ? (--n, *p++) : 0; }
    int word() { return byte() | byte() << 8; }
};

class Fuzzbank : public Cbankview {
public:
    std::vector<int16_t> audio;
    const int16_t* points(size_t, uint32_t, uint32_t& loaded) override
    {
        loaded = uint32_t(audio.size() - 23);
        return audio.data();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader r{data, size};
    Fuzzbank b;
    Cbankview::Smp s;
    s.length = uint32_t(r.word() % 4096);
    s.loopstart = uint32_t(r.word());
    s.loopend = uint32_t(r.word());
    s.rate = uint32_t(r.word() | r.word() << 16);
    s.pitch = uint8_t(r.byte());
    s.correction = int8_t(r.byte());
    s.type = uint16_t(r.word());
    s.link = uint16_t(r.word() % 3);
    b.smps = {s, s, Cbankview::Smp{}};
    b.smps[1].type = s.type == 4 ? 2 : s.type;
    b.audio.resize(s.length + 23);
    for (uint32_t i = 0; i < s.length; ++i) b.audio[i] = int16_t(i * 977);

    auto gens = [&](std::vector<Cbankview::Gen>& list, std::vector<Cbankview::Bag>& bags) {
        bags.push_back(Cbankview::Bag{uint16_t(list.size())});
        for (int n = r.byte() % 24; n > 0; --n) {
            const int op = r.byte() % 64;
            list.push_back(Cbankview::Gen{uint16_t(op == 41 ? 0 : op), int16_t(r.word())});
        }
    };
    b.insts.push_back(Cbankview::Inst{0});
    gens(b.igens, b.ibags);
    b.igens.push_back(Cbankview::Gen{53, 0});
    gens(b.igens, b.ibags);
    b.igens.push_back(Cbankview::Gen{53, 1});
    b.insts.push_back(Cbankview::Inst{uint16_t(b.ibags.size())});
    b.ibags.push_back(Cbankview::Bag{uint16_t(b.igens.size())});
    b.igens.push_back(Cbankview::Gen{});
    b.phdrs.push_back(Cbankview::Phdr{0, 0, 0});
    gens(b.pgens, b.pbags);
    b.pgens.push_back(Cbankview::Gen{41, 0});
    b.phdrs.push_back(Cbankview::Phdr{0, 0, uint16_t(b.pbags.size())});
    b.pbags.push_back(Cbankview::Bag{uint16_t(b.pgens.size())});
    b.pgens.push_back(Cbankview::Gen{});

    Csettings settings;
    std::array<std::vector<float>, 6> bus;
    Csynth synth;
    synth.bank = &b;
    synth.settings = &settings;
    for (int i = 0; i < 6; ++i) {
        bus[size_t(i)].assign(1000, 0.0f);
        synth.bus[i] = bus[size_t(i)].data();
    }
    Cchannel melodic(synth, 0), drums(synth, 9);
    while (r.n >= 3) {
        const int c = 8 + r.byte() % 7, d1 = r.byte() & 0x7f, d2 = r.byte() & 0x7f;
        Cchannel& ch = (d2 & 1) ? drums : melodic;
        ch.dispatch(c, d1, d2);
        synth.mixpos = 0;
        ch.render(1 + d1 * 7);
    }
    return 0;
}
