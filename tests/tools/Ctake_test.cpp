// The recorder's take without devices: the box of every start and play failure, and what each
// leaves on disk and open.
#include "tools/Ctake.h"

#include "audio/Cwavfil.h"
#include "tools/Playfixture.h"

namespace {

struct Take : Playfixture {
    Ctake take{&owner};
};

}  // namespace

TEST_F(Take, StartFailuresCloseEverythingAndOnlyAFailedDeviceLeavesAFinishedEmptyTake) {
    take.choose(dir.file("nowhere/take1.wav"), "take1.wav");
    EXPECT_FALSE(take.start(&owner, -1, nullptr));
    EXPECT_EQ(boxes.last().caption, "WAVE file error");
    EXPECT_EQ(boxes.last().text, "There was an error while creating the output WAVE file\nPlease check if:\na) Your "
                                 "hard drive is not full\nb) You have write premission for the file\nc) The file is "
                                 "nor read-only");
    EXPECT_EQ(boxes.last().owner, &owner);
    EXPECT_FALSE(take.writing());
    EXPECT_FALSE(take.exists());

    take.choose(dir.file("take1.wav"), "take1.wav");
    EXPECT_FALSE(take.start(&owner, -1, nullptr));   // no input device
    EXPECT_EQ(boxes.last().caption, "Wave input busy");
    EXPECT_EQ(boxes.last().icon, Boxicon::warning);
    EXPECT_EQ(boxes.last().text, "The Wave input device is not ready. Possible causes:\n1) There is another application "
                                 "using the device\n2) Your computer doesn't have sound input capabilities");
    EXPECT_FALSE(take.writing());
    EXPECT_EQ(take.file()->fd, -1);
    EXPECT_TRUE(take.exists());
    EXPECT_EQ(readbytes(dir.file("take1.wav")), wavefile(2, 44100, 0));   // a finished file of no frames

    // The empty take is refused on play rather than waiting forever for a buffer.
    Cplayeng eng(ctx, &owner, &owner);
    EXPECT_FALSE(take.play(eng));
    EXPECT_EQ(boxes.last().caption, "Wave file empty");
    EXPECT_EQ(boxes.last().text, "The output file is empty\nPlease record into it and try again");
    EXPECT_EQ(take.file()->fd, -1);
    EXPECT_FALSE(eng.active());
}

TEST_F(Take, RecordingOverThePlaybackFileIsRefusedAndKeepsIt) {
    const std::string path = wave("take1.wav", 500);
    const Bytes before = readbytes(path);
    Cwavfil playback(path);
    take.choose(path, "take1.wav");
    EXPECT_FALSE(take.start(&owner, -1, &playback));
    EXPECT_EQ(boxes.last().caption, "WAVE file error");
    EXPECT_EQ(boxes.last().text, "The output file is the WAVE file selected for play-back\nPlease choose another "
                                 "output file and try again");
    EXPECT_FALSE(take.writing());
    EXPECT_EQ(readbytes(path), before);
}

TEST_F(Take, PlayFailuresOfTheTake) {
    Cplayeng eng(ctx, &owner, &owner);
    take.choose(dir.file("take1.wav"), "take1.wav");
    writebytes(dir.file("take1.wav"), {'R', 'I', 'F', 'F', 0, 0});
    EXPECT_FALSE(take.play(eng));
    EXPECT_EQ(boxes.last().caption, "Invalid Wave file");
    EXPECT_EQ(boxes.last().text, "The output file appears to be corrupt\nPlease check the file and try again");

    wave("take1.wav", 100);
    EXPECT_FALSE(take.play(eng));   // no output device
    EXPECT_EQ(boxes.last().caption, "Wave output busy");
    EXPECT_EQ(boxes.last().text, "The WAVE output device is not ready. Possible causes:\n1) There is another "
                                 "application using the device\n2) Your computer doesn't have sound output "
                                 "capabilities\n3) Your computer doesn't support full-duplex operation\n   (Playing a "
                                 "WAVE file while recording another)");
    EXPECT_EQ(take.file()->fd, -1);
    EXPECT_FALSE(eng.active());
}
