#include "settings/Cinifile.h"

#include "support/Tempdir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string text(const std::string& path)
{
    const Bytes b = readbytes(path);
    return std::string(b.begin(), b.end());
}

bool put(const std::string& path, const std::string& s) { return writebytes(path, Bytes(s.begin(), s.end())); }

}  // namespace

TEST(Cinifile, ReadsLikeThePrivateProfileFunctions)
{
    Tempdir dir;
    const std::string path = dir.file("a.ini");
    ASSERT_TRUE(put(path, "; comment\r\n"
                          "Sound Bank=outside any section\r\n"
                          "[Other]\r\n"
                          "Sound Bank=wrong section\r\n"
                          "  [ files ]  \r\n"
                          "  sound BANK  =  C:\\Banks\\piano.sf2  \r\n"
                          "Sound Bank=second copy\r\n"
                          "Quoted=\"  a b  \"\r\n"
                          "Empty=\r\n"
                          "no equals sign\r\n"
                          "Working folder=D:\\Music\\\r\n"
                          "[Files]\r\n"
                          "Late=only in a second Files section"));
    const Cinifile ini(path);
    const struct {
        const char *section, *key, *value;
    } cases[] = {
        {"Files", "Sound Bank", "C:\\Banks\\piano.sf2"},   // first match, blanks trimmed, any case
        {"FILES", "sound bank", "C:\\Banks\\piano.sf2"},
        {"Other", "Sound Bank", "wrong section"},
        {"Files", "Quoted", "  a b  "},
        {"Files", "Empty", ""},
        {"Files", "Working folder", "D:\\Music\\"},
        {"Files", "Late", "<default>"},   // only the first section of a name counts
        {"Files", "Missing", "<default>"},
        {"Nowhere", "Sound Bank", "<default>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key);
        EXPECT_EQ(ini.read(c.section, c.key, "<default>"), c.value);
    }
    EXPECT_EQ(Cinifile(dir.file("none.ini")).read("Files", "Sound Bank"), "");
}

TEST(Cinifile, WriteChangesOneLineAndKeepsTheRest)
{
    const struct {
        const char* name;
        const char* before;
        const char* key;
        const char* value;
        const char* after;
    } cases[] = {
        {"no file", nullptr, "Sound Bank", "/b/x.sf2", "[Files]\nSound Bank=/b/x.sf2\n"},
        {"replace, CRLF kept", "; mine\r\n[files]\r\n  sound bank = old \r\nWorking folder=/w\r\n[Else]\r\nk=v\r\n",
         "Sound Bank", "new", "; mine\r\n[files]\r\nSound Bank=new\r\nWorking folder=/w\r\n[Else]\r\nk=v\r\n"},
        {"add key at the end of its section", "[Files]\nSound Bank=a\n\n[Else]\nk=v\n", "Working folder", "/w",
         "[Files]\nSound Bank=a\nWorking folder=/w\n\n[Else]\nk=v\n"},
        {"add key to a last line without break", "[Else]\nk=v\n[Files]\nx=1", "Working folder", "",
         "[Else]\nk=v\n[Files]\nx=1\nWorking folder=\n"},
        {"add section", "[Else]\r\nk=v", "Sound Bank", "b", "[Else]\r\nk=v\r\n[Files]\r\nSound Bank=b\r\n"},
        {"line break ends the value", "[Files]\n", "Sound Bank", "a\nb", "[Files]\nSound Bank=a\n"},
        {"empty file", "", "Sound Bank", "b", "[Files]\nSound Bank=b\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Tempdir dir;
        const std::string path = dir.file("Cantorix.ini");
        if (c.before) {
            ASSERT_TRUE(put(path, c.before));
        }
        EXPECT_TRUE(Cinifile(path).write("Files", c.key, c.value));
        EXPECT_EQ(text(path), c.after);
        EXPECT_FALSE(exists(path + ".new"));
    }
}

TEST(Cinifile, RoundTripKeepsForeignSectionsAndKeys)
{
    Tempdir dir;
    const std::string path = dir.file("r.ini");
    const std::string foreign = "# written by hand\n[Window]\nx=10\ny = 20\n\n[Files]\nRecent=/a/b.mid\n";
    ASSERT_TRUE(put(path, foreign));
    const Cinifile ini(path);
    ASSERT_TRUE(ini.write("Files", "Sound Bank", "/banks/one.sf2"));
    ASSERT_TRUE(ini.write("Files", "Working folder", "/music"));
    ASSERT_TRUE(ini.write("Files", "Sound Bank", "/banks/two.csf"));
    EXPECT_EQ(ini.read("Files", "Sound Bank"), "/banks/two.csf");
    EXPECT_EQ(ini.read("Files", "Working folder"), "/music");
    EXPECT_EQ(ini.read("Files", "Recent"), "/a/b.mid");
    EXPECT_EQ(ini.read("Window", "y"), "20");
    EXPECT_EQ(text(path), "# written by hand\n[Window]\nx=10\ny = 20\n\n[Files]\nRecent=/a/b.mid\n"
                          "Sound Bank=/banks/two.csf\nWorking folder=/music\n");
}

TEST(Cinifile, FailedWriteIsReportedAndLeavesNothingBehind)
{
    Tempdir dir;
    EXPECT_FALSE(Cinifile(dir.file("missing/x.ini")).write("Files", "Sound Bank", "b"));
    EXPECT_FALSE(exists(dir.file("missing")));
    // A folder where the file should be: the replacing rename fails and the folder stays.
    const std::string path = dir.file("Cantorix.ini");
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    EXPECT_FALSE(Cinifile(path).write("Files", "Sound Bank", "b"));
    EXPECT_FALSE(exists(path + ".new"));
    struct stat st {};
    EXPECT_TRUE(::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}
