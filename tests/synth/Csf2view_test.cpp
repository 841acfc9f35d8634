// End to end through the real readers and the sample store: every preset of a small real bank
// plays notes across the whole keyboard.
#include "Testbank.h"
#include "bank/Csf2file.h"
#include "bank/Cstore.h"
#include "support/Boxes.h"
#include "synth/Csf2view.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

TEST(Csf2view, EveryPresetOfARealBankPlaysAcrossTheKeyboard)
{
    const char* path = "/usr/share/sounds/sf2/TimGM6mb.sf2";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is not installed";
    Cstore store(uint64_t(1) << 30, nullptr);
    Csf2file file(path, &store);
    ASSERT_TRUE(file.rdfile());
    Csf2view view(file, store);
    ASSERT_EQ(view.phdrs.size(), file.phdrs.size());
    ASSERT_EQ(view.smps.size(), file.shdrs.size());

    Rig rig(view);
    rig.settings.showerrors = true;
    Boxes boxes;
    int presets = 0, silent = 0;
    for (size_t i = 0; i + 1 < view.phdrs.size(); ++i) {
        const int bank = view.phdrs[i].bank, program = view.phdrs[i].preset;
        SCOPED_TRACE(bank * 1000 + program);
        Cchannel ch(rig.synth, bank == 128 ? 9 : 0);
        ch.dispatch(11, 0, bank == 128 ? 0 : bank);
        ch.dispatch(12, program, 0);
        rig.clear();
        int pos = 0;
        for (int key = 0; key < 128; ++key) {
            ch.dispatch(9, key, 40 + key % 80);
            rig.render(ch, pos, 100);
            ch.dispatch(8, key, 0);
            rig.render(ch, pos + 100, 100);
            pos += 200;
            ch.dispatch(11, 120, 0);     // one note at a time keeps the test quick
        }
        // A held note as well, for presets whose attack is slower than the short notes above.
        ch.dispatch(9, 60, 127);
        rig.render(ch, pos, 11025);
        pos += 11025;
        ch.dispatch(11, 123, 0);
        rig.render(ch, pos, 4410);
        ch.dispatch(11, 120, 0);
        EXPECT_FALSE(ch.active());
        ASSERT_EQ(ch.bank(), bank);
        ASSERT_EQ(ch.program(), program);
        double energy = 0;
        for (const auto& b : rig.bus)   // dry, chorus and reverb: a preset may send it all away
            for (float x : b) {
                ASSERT_TRUE(std::isfinite(x));
                energy += double(x) * x;
            }
        if (energy == 0) {
            ++silent;
            std::printf("silent: bank %d preset %d\n", bank, program);
        }
        ++presets;
    }
    EXPECT_GT(presets, 100);
    EXPECT_EQ(silent, 0);
    EXPECT_TRUE(boxes.empty()) << (boxes.empty() ? "" : boxes.last().text);
    EXPECT_GT(store.count(), 0u);
}
