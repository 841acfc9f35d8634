#include "settings/Csettings.h"

#include "settings/Ceffparam.h"
#include "settings/Cinifile.h"
#include "support/Tempdir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isdir(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ini(const std::string& bank, const std::string& work)
{
    return "[Files]\r\nSound Bank=" + bank + "\r\nWorking folder=" + work + "\r\n";
}

bool put(const std::string& path, const std::string& s) { return writebytes(path, Bytes(s.begin(), s.end())); }

}  // namespace

TEST(Csettings, FirstStartUsesTheProgramFolder)
{
    Tempdir dir;
    Csettings s;
    Csettings::set(s.tempo, 30);
    Csettings::set(s.roomsize, 0.9f);
    s.waveout = 3;
    s.midiout = 1;
    s.load(dir.path());
    EXPECT_EQ(s.progdir, dir.path());
    EXPECT_EQ(s.inipath, dir.path() + "/Cantorix.ini");
    EXPECT_EQ(s.bankpath, dir.path() + "/VUZADada.csf");
    EXPECT_TRUE(s.compressed);
    EXPECT_EQ(s.workdir, dir.path() + "/WorkDir");
    EXPECT_TRUE(isdir(s.workdir));
    EXPECT_EQ(s.waveout, -1);
    EXPECT_EQ(s.wavein, -1);
    EXPECT_EQ(s.midiout, -1);
    EXPECT_EQ(Csettings::get(s.tempo), 0);
    EXPECT_FLOAT_EQ(Csettings::get(s.roomsize), 0.5f);
    EXPECT_FALSE(exists(s.inipath));   // loading never writes the INI file
}

TEST(Csettings, AnInstalledProgramKeepsItsSettingsInTheUsersFolders)
{
    // A program folder in the system's tree: bank from there, INI file and working folder in
    // the person's own folders.
    Tempdir home;
    const std::string oldhome = getenv("HOME") ? getenv("HOME") : "";
    ::setenv("HOME", home.path().c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    Csettings s;
    s.load("/usr/lib/cantorix");
    EXPECT_EQ(s.bankpath, "/usr/lib/cantorix/VUZADada.csf");
    EXPECT_EQ(s.inipath, home.path() + "/.config/cantorix/Cantorix.ini");
    EXPECT_EQ(s.workdir, home.path() + "/Cantorix");
    EXPECT_TRUE(isdir(s.workdir));
    // Options OK creates the settings folder when it is missing.
    ::mkdir((home.path() + "/.config").c_str(), 0777);
    EXPECT_TRUE(s.savefiles("/banks/a.sf2", home.path() + "/out"));
    EXPECT_TRUE(exists(home.path() + "/.config/cantorix/Cantorix.ini"));
    ::setenv("XDG_CONFIG_HOME", (home.path() + "/cfg").c_str(), 1);
    s.load("/usr/lib/cantorix");
    EXPECT_EQ(s.inipath, home.path() + "/cfg/cantorix/Cantorix.ini");
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", oldhome.c_str(), 1);
}

TEST(Csettings, LoadRulesForStoredValues)
{
    const struct {
        const char* name;
        const char* bank;
        const char* work;       // "@" stands for the program folder, "#" for another folder
        const char* wantbank;
        bool csf;
        const char* wantwork;
    } cases[] = {
        {"bare name goes to the program folder", "piano.sf2", "#/music", "@/piano.sf2", false, "#/music"},
        {"forward slash stays relative", "banks/piano.sf2", "", "banks/piano.sf2", false, "@/WorkDir"},
        {"Windows separators", "C:\\Banks\\Big.csf", "#\\w\\", "C:/Banks/Big.csf", true, "#/w"},
        {"one trailing separator removed", "/b/x.csf", "#/music/", "/b/x.csf", true, "#/music"},
        {"capital extension is no compressed bank", "/b/x.CSF", "", "/b/x.CSF", false, "@/WorkDir"},
        {"no dot at all", "/banks/piano", "", "/banks/piano", false, "@/WorkDir"},
        {"dot only in a folder", "/my.csf/bank", "", "/my.csf/bank", false, "@/WorkDir"},
        {"quoted values", "\"/b/q.csf\"", "", "/b/q.csf", true, "@/WorkDir"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Tempdir prog, other;
        auto fill = [&](std::string s) {
            for (size_t at; (at = s.find('@')) != std::string::npos;) s.replace(at, 1, prog.path());
            for (size_t at; (at = s.find('#')) != std::string::npos;) s.replace(at, 1, other.path());
            return s;
        };
        ASSERT_TRUE(put(prog.file("Cantorix.ini"), ini(c.bank, fill(c.work))));
        Csettings s;
        s.load(prog.path());
        EXPECT_EQ(s.bankpath, fill(c.wantbank));
        EXPECT_EQ(s.compressed, c.csf);
        EXPECT_EQ(s.workdir, fill(c.wantwork));
        EXPECT_TRUE(isdir(s.workdir));
    }
}

// The live synthesizer's voice limit: a whole number 0 .. MAXVOICELIMIT, else the default.
TEST(Csettings, VoiceLimitFromTheIniFile)
{
    const struct { const char* text; int want; } cases[] = {
        {nullptr, Csettings::VOICELIMIT}, {"0", 0}, {"64", 64}, {"65536", 65536}, {"65537", Csettings::VOICELIMIT},
        {"-5", Csettings::VOICELIMIT}, {"12x", Csettings::VOICELIMIT}, {"", Csettings::VOICELIMIT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(none)");
        Tempdir prog;
        std::string text = ini("x.sf2", "");
        if (c.text) text += std::string("[Synthesizer]\r\nVoice limit=") + c.text + "\r\n";
        ASSERT_TRUE(put(prog.file("Cantorix.ini"), text));
        Csettings s;
        Csettings::set(s.voicelimit, 7);
        s.load(prog.path());
        EXPECT_EQ(Csettings::get(s.voicelimit), c.want);
    }
}

TEST(Csettings, MissingWorkingFolderIsCreatedOneLevelOnly)
{
    Tempdir prog;
    ASSERT_TRUE(put(prog.file("Cantorix.ini"), ini("x.sf2", prog.path() + "/new")));
    Csettings s;
    s.load(prog.path());
    EXPECT_TRUE(isdir(prog.path() + "/new"));

    ASSERT_TRUE(put(prog.file("Cantorix.ini"), ini("x.sf2", prog.path() + "/deep/er")));
    s.load(prog.path());
    EXPECT_EQ(s.workdir, prog.path() + "/deep/er");   // kept as it is, though it cannot be made
    EXPECT_FALSE(exists(prog.path() + "/deep"));
}

TEST(Csettings, LongValuesAreCutToThePathLimit)
{
    Tempdir prog;
    const std::string longbank = "/" + std::string(400, 'b') + ".csf";
    ASSERT_TRUE(put(prog.file("Cantorix.ini"), ini(longbank, "/" + std::string(300, 'w') + "/")));
    Csettings s;
    s.load(prog.path());
    EXPECT_EQ(s.bankpath, longbank.substr(0, Csettings::MAXPATH));
    EXPECT_FALSE(s.compressed);   // the extension was cut away
    EXPECT_EQ(s.workdir.size(), Csettings::MAXPATH);

    const std::string longprog = prog.path() + "/" + std::string(300, 'p');
    s.load(longprog);
    for (const std::string* p : {&s.progdir, &s.inipath, &s.bankpath, &s.workdir}) EXPECT_LE(p->size(), Csettings::MAXPATH);
}

TEST(Csettings, OptionsOkStoresBothPathsAsTyped)
{
    Tempdir prog;
    ASSERT_TRUE(put(prog.file("Cantorix.ini"), "[View]\nzoom=2\n"));
    Csettings s;
    s.load(prog.path());
    ASSERT_TRUE(s.savefiles("piano.csf", "D:\\Music\\"));
    EXPECT_EQ(s.bankpath, "piano.csf");   // no program-folder rule here: used as typed
    EXPECT_TRUE(s.compressed);
    EXPECT_EQ(s.workdir, "D:/Music");
    const Cinifile file(s.inipath);
    EXPECT_EQ(file.read("Files", "Sound Bank"), "piano.csf");
    EXPECT_EQ(file.read("Files", "Working folder"), "D:/Music");
    EXPECT_EQ(file.read("View", "zoom"), "2");

    // A cleared working folder stays empty for this run; the next start takes the default.
    ASSERT_TRUE(s.savefiles("/b/x.sf2", ""));
    EXPECT_FALSE(s.compressed);
    EXPECT_EQ(s.workdir, "");
    EXPECT_EQ(file.read("Files", "Working folder", "<missing>"), "");
    Csettings next;
    next.load(prog.path());
    EXPECT_EQ(next.workdir, prog.path() + "/WorkDir");
    EXPECT_EQ(next.bankpath, "/b/x.sf2");
}

TEST(Csettings, ProgramFolderIsTheExecutablesFolder)
{
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    ASSERT_GT(n, 0);
    const std::string exe(buf, size_t(n));
    EXPECT_EQ(progfolder(), exe.substr(0, exe.find_last_of('/')));
    EXPECT_TRUE(exists(progfolder() + "/core_tests"));
}

// A fresh record holds every effect default; a value past either end of a range, set through the
// table as the command line does, is held to that end in the field's own type.
TEST(Ceffparam, FreshRecordHoldsTheDefaultsAndSetHoldsValuesToTheRange)
{
    Csettings s;
    for (const Ceffparam& p : EFFPARAMS) {
        SCOPED_TRACE(p.name);
        auto stored = [&](double v) { return p.whole ? double(int(v)) : double(float(v)); };
        EXPECT_EQ(p.get(s), stored(p.def));
        p.set(s, p.hi + 1000);
        EXPECT_EQ(p.get(s), stored(p.hi));
        p.set(s, p.lo - 1000);
        EXPECT_EQ(p.get(s), stored(p.lo));
    }
}
