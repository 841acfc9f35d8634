#include "convert/Cresult.h"

#include "audio/Cwavfil.h"
#include "support/Boxes.h"
#include "support/Tempdir.h"

#include <gtest/gtest.h>

namespace {

// A closed WAVE file of the given frames; peak is whatever wrframe made of them.
void writewav(Cwavfil& w, const std::vector<std::pair<int16_t, int16_t>>& frames)
{
    ASSERT_TRUE(w.openwr());
    for (auto [l, r] : frames) w.wrframe(l, r);
    w.closewr(false, 0);
}

int16_t maxabs(const std::string& path)
{
    const Bytes b = readbytes(path);
    int m = 0;
    for (size_t i = 44; i + 1 < b.size(); i += 2) m = std::max(m, std::abs(int(int16_t(b[i] | b[i + 1] << 8))));
    return int16_t(std::min(m, 32767));
}

// A WAVE file whose writes failed part-way.
class Brokenwav : public Cwavfil {
public:
    using Cwavfil::Cwavfil;
    void breakwrite() { m_err = Wverr::write; }
};

} // namespace

TEST(Cresult, LevelChecksByPeak)
{
    struct Case {
        int16_t loud;
        bool normalize;
        Rescheck kind;
        const char* caption;   // box expected, "" for none
        int16_t after;         // loudest sample in the file afterwards
    };
    const Case cases[] = {
        {8, false, Rescheck::empty, "WAVE file empty", 8},   // nothing above magnitude 8
        {8, true, Rescheck::empty, "WAVE file empty", 8},
        {16384, false, Rescheck::advice, "Adjust Master Volume", 16384},
        {16384, true, Rescheck::normalized, "", 32752},       // gain 2047/1024
        {9, true, Rescheck::normalized, "", 32766},
        {32767, false, Rescheck::fine, "", 32767},
        {32767, true, Rescheck::fine, "", 32767},               // gain exactly 1024
        {-32768, true, Rescheck::fine, "", 32767},              // peak 32768: gain 1023
        {-32768, false, Rescheck::fine, "", 32767},             // negative headroom: no advice
        {29204, false, Rescheck::fine, "", 29204},              // 0.9999 dB below full scale
        {29203, false, Rescheck::advice, "Adjust Master Volume", 29203},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.loud);
        SCOPED_TRACE(c.normalize);
        Tempdir dir;
        Cwavfil w(dir.file("out.wav"));
        writewav(w, {{0, 0}, {int16_t(c.loud / 2), 3}, {3, c.loud}, {0, -1}});
        Boxes boxes;
        const Cresult r = checkresult(w, c.normalize, &w);
        EXPECT_EQ(r.kind, c.kind);
        if (*c.caption) {
            ASSERT_EQ(boxes.count(), 1u);
            EXPECT_EQ(boxes.last().caption, c.caption);
            EXPECT_EQ(boxes.last().icon, Boxicon::warning);
            EXPECT_EQ(boxes.last().owner, &w);
        } else {
            EXPECT_TRUE(boxes.empty());
        }
        EXPECT_EQ(maxabs(dir.file("out.wav")), c.after);
    }
}

TEST(Cresult, Texts)
{
    Tempdir dir;
    Cwavfil w(dir.file("a.wav"));
    writewav(w, {{16384, 0}});
    Boxes boxes;
    EXPECT_EQ(checkresult(w, false, nullptr).db, 6);
    EXPECT_EQ(boxes.last().text, "To obtain better dynamics in your WAVE file\nyou should go to Settings/Effects, increase "
                                 "the\nMaster Volume by 6 dB and try again");

    Cwavfil q(dir.file("q.wav"));
    writewav(q, {{0, 0}});
    checkresult(q, true, nullptr);
    EXPECT_EQ(boxes.last().text,
              "The WAVE file created has no sound. Possible causes:\n1) Your MIDI/Kar file doesn't have sound "
              "generating commands\n2) Your MIDI/Kar file doesn't have preset selection commands\n3) Your Sound "
              "Font doesn't have the required presets\nSuggestion: Activate 'Show MIDI error messages' then "
              "check\nyour MIDI/Kar file and Sound Font file and try again");
}

TEST(Cresult, FailedWriteIsReportedInsteadOfChecked)
{
    Tempdir dir;
    Brokenwav w(dir.file("b.wav"));
    ASSERT_TRUE(w.openwr());
    w.wrframe(100, 100);   // quiet enough to be normalized if the checks ran
    w.breakwrite();
    w.closewr(false, 0);
    const Bytes before = readbytes(dir.file("b.wav"));
    Boxes boxes;
    EXPECT_EQ(checkresult(w, true, nullptr).kind, Rescheck::failed);
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.last().caption, "Couldn't create the WAVE file");
    EXPECT_EQ(boxes.last().text, "There was an error while creating the WAVE file\nPlease check if:\na) Your hard "
                                 "drive is not full\nb) You have write premission for the file\nc) The file is nor "
                                 "read-only");
    EXPECT_EQ(readbytes(dir.file("b.wav")), before);   // not normalized
}

TEST(Cresult, TimeText)
{
    EXPECT_EQ(timetext(0, 0), "00:00 / 00:00");
    EXPECT_EQ(timetext(61999999, 3599999999.0), "01:01 / 59:59");
    EXPECT_EQ(timetext(6000000000.0, 6000000000.0), "100:00 / 100:00");
    // The release tail runs past the total; the position stops there.
    EXPECT_EQ(timetext(115000000, 112900000), "01:52 / 01:52");
}
