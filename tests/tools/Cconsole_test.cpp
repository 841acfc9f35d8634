#include "tools/Cconsole.h"

#include "support/Boxes.h"
#include "support/Tempdir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// Collects what a runner reports: every output notification's count and the text it read, and
// the moment the finished notification arrived.
struct Owner {
    std::mutex lock;
    std::condition_variable cv;
    std::vector<int> counts;
    std::vector<std::string> texts;
    bool finished = false;
    std::unique_ptr<Cconsole> runner;

    explicit Owner(const std::string& program)
    {
        runner = std::make_unique<Cconsole>(
            program + " ",
            [this] {
                std::lock_guard<std::mutex> g(lock);
                finished = true;
                cv.notify_all();
            },
            [this](int count) {
                char text[300];
                const int got = runner->readout(text, 299);
                std::lock_guard<std::mutex> g(lock);
                counts.push_back(count);
                texts.push_back(std::string(text, size_t(got)));
            });
    }
    bool wait(std::chrono::milliseconds limit = 10s)
    {
        std::unique_lock<std::mutex> g(lock);
        return cv.wait_for(g, limit, [&] { return finished; });
    }
    std::string joined()
    {
        std::lock_guard<std::mutex> g(lock);
        std::string all;
        for (const std::string& t : texts) all += t + "|";
        return all;
    }
};

const std::string CHILD = CONSOLE_CHILD;

}  // namespace

TEST(Cconsole, SplitsArgumentsByTheQuoteRules) {
    const struct {
        const char* text;
        std::vector<std::string> args;
    } cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"a b\tc", {"a", "b", "c"}},
        {"\"/tmp/my dir/in.wav\" \"out.mp3\"", {"/tmp/my dir/in.wav", "out.mp3"}},
        {"--decode \"a b.mp3\" \"c.wav\"", {"--decode", "a b.mp3", "c.wav"}},
        {"\"\" x", {"", "x"}},
        {"ab\"c d\"e", {"abc de"}},
        {"\"say \"\"hi\"\"\"", {"say \"hi\""}},
        {"a\\\"b", {"a\"b"}},
        {"a\\\\\"b c\"", {"a\\b c"}},
        {"a\\b\\\\c", {"a\\b\\\\c"}},
        {"\"unterminated quote", {"unterminated quote"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Cconsole::splitargs(c.text), c.args);
    }
}

TEST(Cconsole, PassesQuotedArgumentsWithoutAShell) {
    Owner o("/bin/echo");
    o.runner->start("\"two  spaces\" $HOME '*' \"a;b\"");
    ASSERT_TRUE(o.wait());
    EXPECT_EQ(o.joined(), "two  spaces $HOME '*' a;b|");
    EXPECT_TRUE(o.runner->started());
    EXPECT_FALSE(o.runner->running());
    EXPECT_EQ(o.runner->exitcode(), 0u);

    Owner c(CHILD);
    c.runner->start("args \"x y\" \"\" z\\\"q");
    ASSERT_TRUE(c.wait());
    EXPECT_EQ(c.joined(), "[x y]|[]|[z\"q]|");
}

TEST(Cconsole, QueuesOutputOfBothStreamsWithoutLineEnds) {
    Owner o(CHILD);
    o.runner->start("lines");
    ASSERT_TRUE(o.wait());
    // Empty lines notify nobody; text without a final line end is reported at the batch's end;
    // text written just before the program ended is not lost.
    EXPECT_EQ(o.joined(), "one|two|three|");
    for (size_t i = 0; i < o.counts.size(); ++i) EXPECT_EQ(o.counts[i], int(o.texts[i].size()));
    EXPECT_EQ(o.runner->exitcode(), 0u);

    Owner late(CHILD);
    late.runner->start("late");
    ASSERT_TRUE(late.wait());
    EXPECT_EQ(late.joined(), "last words|");
    EXPECT_EQ(late.runner->exitcode(), 7u);
}

TEST(Cconsole, ReportsExitCodesAndAnInputAtEndOfFileNever) {
    for (int code : {0, 1, 3, 255}) {
        SCOPED_TRACE(code);
        Owner o(CHILD);
        o.runner->start("exit " + std::to_string(code));
        ASSERT_TRUE(o.wait());
        EXPECT_EQ(o.runner->exitcode(), uint32_t(code));
    }
    // The input pipe stays open and empty: a child reading it would wait, as it would on a
    // console nobody types into; abort ends it.
    Owner in(CHILD);
    in.runner->start("stdin");
    EXPECT_FALSE(in.wait(300ms));
    EXPECT_TRUE(in.runner->running());
    EXPECT_EQ(in.runner->exitcode(), Cconsole::STILLACTIVE);
    in.runner->abort();
    ASSERT_TRUE(in.wait());
    EXPECT_EQ(in.joined(), "");
}

TEST(Cconsole, MissingProgramShowsItsBoxAndExitCodeMinusOne) {
    Boxes boxes;
    Tempdir dir;
    const std::string notexec = dir.file("plain.txt");
    ASSERT_TRUE(writebytes(notexec, {'h', 'i'}));
    for (const std::string& program : {dir.file("MP3Codec.exe"), notexec, dir.path()}) {
        SCOPED_TRACE(program);
        boxes.clear();
        Owner o(program);
        o.runner->start("\"a.wav\" \"b.mp3\"");
        ASSERT_TRUE(o.wait());
        EXPECT_FALSE(o.runner->started());
        EXPECT_FALSE(o.runner->running());
        EXPECT_EQ(o.runner->exitcode(), 0xFFFFFFFFu);
        ASSERT_EQ(boxes.count(), 1u);
        EXPECT_EQ(boxes.last().text, program + " \nCannot execute console program");
        EXPECT_EQ(boxes.last().icon, Boxicon::error);
    }
}

TEST(Cconsole, AbortEndsTheChildAndASecondStartWaitsForTheFirstRun) {
    Owner o(CHILD);
    o.runner->start("sleep");
    EXPECT_FALSE(o.wait(250ms));
    o.runner->start("exit 5");   // ignored: the first program still runs
    EXPECT_TRUE(o.runner->running());
    EXPECT_EQ(o.joined().rfind("waiting ", 0), 0u);
    o.runner->abort();
    EXPECT_FALSE(o.runner->running());
    ASSERT_TRUE(o.wait(2s));
    EXPECT_EQ(o.runner->exitcode(), 128u + 9u);   // killed

    // After the end, the same runner starts the next program.
    {
        std::lock_guard<std::mutex> g(o.lock);
        o.finished = false;
    }
    o.runner->start("exit 5");
    ASSERT_TRUE(o.wait());
    EXPECT_EQ(o.runner->exitcode(), 5u);
}

TEST(Cconsole, OwnerMayDestroyTheRunnerFromTheFinishedNotification) {
    std::mutex lock;
    std::condition_variable cv;
    bool done = false;
    Cconsole* runner = nullptr;
    runner = new Cconsole(CHILD + " ", [&] {
        delete runner;   // the worker must not touch the runner after this
        std::lock_guard<std::mutex> g(lock);
        done = true;
        cv.notify_all();
    }, [&](int) { char t[64]; runner->readout(t, 63); });
    runner->start("lines");
    std::unique_lock<std::mutex> g(lock);
    ASSERT_TRUE(cv.wait_for(g, 10s, [&] { return done; }));
}

TEST(Cconsole, DestroyingARunningRunnerKillsTheChildAndDetachesTheOwner) {
    std::atomic<bool> called{false};
    std::atomic<int> pid{0};
    std::mutex lock;
    std::condition_variable cv;
    {
        Cconsole* self = nullptr;
        Cconsole runner(CHILD + " ", [&] { called = true; }, [&](int) {
            char t[64];
            self->readout(t, 63);
            std::lock_guard<std::mutex> g(lock);
            pid = std::atoi(t + 8);   // "waiting <pid>"
            cv.notify_all();
        });
        self = &runner;
        runner.start("sleep");
        std::unique_lock<std::mutex> g(lock);
        ASSERT_TRUE(cv.wait_for(g, 10s, [&] { return pid > 0; }));
    }
    // The child is killed and reaped by the worker; no notification reaches the former owner.
    const auto limit = std::chrono::steady_clock::now() + 5s;
    while (::kill(pid, 0) == 0 && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(10ms);
    EXPECT_NE(::kill(pid, 0), 0);
    EXPECT_FALSE(called);
}

TEST(Cconsole, EncodesAndDecodesWithTheRealCodec) {
    if (access("/usr/bin/lame", X_OK) != 0) GTEST_SKIP() << "/usr/bin/lame is not installed";
    Tempdir dir;
    // Half a second of a 441 Hz square wave, canonical 44-byte header.
    Bytes wav = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,
                 1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0, 4, 0, 16, 0, 'd', 'a', 't', 'a'};
    const uint32_t frames = 22050, bytes = frames * 4;
    for (uint32_t v : {bytes}) for (int i = 0; i < 4; ++i) wav.push_back(uint8_t(v >> (8 * i)));
    for (uint32_t i = 0; i < frames; ++i) {
        const int16_t s = (i / 50) % 2 ? 8000 : -8000;
        for (int k = 0; k < 2; ++k) {
            wav.push_back(uint8_t(s & 0xFF));
            wav.push_back(uint8_t((s >> 8) & 0xFF));
        }
    }
    const uint32_t riff = 36 + bytes;
    for (int i = 0; i < 4; ++i) wav[4 + i] = uint8_t(riff >> (8 * i));
    const std::string in = dir.file("my song.wav"), mp3 = dir.file("my song.mp3"),
                      back = dir.file("back.wav");
    ASSERT_TRUE(writebytes(in, wav));

    Owner enc("/usr/bin/lame");
    enc.runner->start("\"" + in + "\" \"" + mp3 + "\"");
    ASSERT_TRUE(enc.wait(30s));
    EXPECT_EQ(enc.runner->exitcode(), 0u);
    EXPECT_NE(enc.joined().find("%)|"), std::string::npos) << enc.joined();
    EXPECT_EQ(enc.joined().find('\r'), std::string::npos);
    const Bytes mp3bytes = readbytes(mp3);
    ASSERT_GT(mp3bytes.size(), 1000u);

    Owner dec("/usr/bin/lame");
    dec.runner->start("--decode \"" + mp3 + "\" \"" + back + "\"");
    ASSERT_TRUE(dec.wait(30s));
    EXPECT_EQ(dec.runner->exitcode(), 0u);
    EXPECT_NE(dec.joined().find("Frame#"), std::string::npos) << dec.joined();
    const Bytes out = readbytes(back);
    ASSERT_GE(out.size(), 44u + bytes);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 4), "RIFF");
}
