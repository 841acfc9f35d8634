#include "platform/Cmsgbox.h"
#include "support/Boxes.h"

#include <gtest/gtest.h>

#include <thread>

TEST(Cmsgbox, CapturesInOrderAcrossThreadsAndRestoresTheSink) {
    {
        Boxes outer;
        {
            Boxes inner;
            errbox("Cmidfil::rdmidi\nError while reading midi file");
            std::thread([] { msgbox("second", "Warn", Boxicon::warning); }).join();
            ASSERT_EQ(inner.count(), 2u);
            EXPECT_EQ(inner.all()[0].caption, "Error!");
            EXPECT_EQ(inner.all()[0].icon, Boxicon::error);
            EXPECT_EQ(inner.all()[1].text, "second");
            EXPECT_EQ(inner.all()[1].icon, Boxicon::warning);
        }
        msgbox("after", "Caption");
        EXPECT_EQ(outer.texts(), std::vector<std::string>{"after"});
    }
    testing::internal::CaptureStderr();
    msgbox("Error while writing\nsecond line", "Caption");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Caption: Error while writing\nsecond line\n");
}
