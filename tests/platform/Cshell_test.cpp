#include "platform/Cshell.h"

#include <gtest/gtest.h>

TEST(Cshell, QtFilterFromPipeFilter)
{
    struct Case { const char* pipe; const char* qt; };
    const Case cases[] = {
        {"MIDI, Kar & WAVE Files (*.mid;*.midi;*.kar;*.wav)|*.mid;*.midi;*.kar;*.wav|MIDI Files (*.mid;*.midi)|*.mid;*.midi|"
         "Karaoke Files (*.kar)|*.kar|WAVE Files (*.wav)|*.wav|All Files (*.*)|*.*||",
         "MIDI, Kar & WAVE Files (*.mid *.midi *.kar *.wav);;MIDI Files (*.mid *.midi);;Karaoke Files (*.kar);;"
         "WAVE Files (*.wav);;All Files (*)"},
        {"Sound Font Files(*.sf2;*.csf)|*.sf2;*.csf|All Files (*.*)|*.*||",
         "Sound Font Files (*.sf2 *.csf);;All Files (*)"},
        {"Plain|*.txt||", "Plain (*.txt)"},
        {"", ""},
        {"Dangling name only", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pipe);
        EXPECT_EQ(qtfilter(c.pipe), c.qt);
    }
}

TEST(Cshell, PickSplitsTitleAndExtension)
{
    struct Case { const char* path; const char* title; const char* ext; };
    const Case cases[] = {
        {"/music/song.MID", "song.MID", "MID"},
        {"/music/a.b/song", "song", ""},
        {"/music/song.tar.wav", "song.tar.wav", "wav"},
        {"song.kar", "song.kar", "kar"},
        {"/music/trailingdot.", "trailingdot.", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const Cfilepick p = makepick(c.path);
        EXPECT_EQ(p.path, c.path);
        EXPECT_EQ(p.title, c.title);
        EXPECT_EQ(p.ext, c.ext);
    }
}

TEST(Cshell, ScriptedAnswersInOrderThenCancel)
{
    Cscriptshell script;
    script.answer("/w/one.wav");
    script.cancel();
    Cfilereq req;
    req.startdir = "/w";
    EXPECT_EQ(shell().openfile(req)->title, "one.wav");
    EXPECT_FALSE(shell().openfile(req));
    EXPECT_FALSE(shell().browsefolder("Pick", nullptr));   // nothing scripted: Cancel
    shell().openpath("Hlpmain.htm", "/prog", nullptr);
    ASSERT_EQ(script.requests().size(), 4u);
    EXPECT_EQ(script.requests()[0].req.startdir, "/w");
    EXPECT_EQ(script.last().kind, "shell");
    EXPECT_EQ(script.last().text, "Hlpmain.htm");
    EXPECT_EQ(script.last().dir, "/prog");
}
