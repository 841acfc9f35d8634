// A small console program for the process runner's tests. The first argument picks what it
// does; every mode writes to both standard output and standard error where that matters.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unistd.h>

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "";
    if (!std::strcmp(mode, "args")) {   // each further argument in brackets, one per line
        for (int i = 2; i < argc; ++i) std::printf("[%s]\n", argv[i]);
        return 0;
    }
    if (!std::strcmp(mode, "exit")) return argc > 2 ? std::atoi(argv[2]) : 0;
    if (!std::strcmp(mode, "lines")) {   // CR LF ends, a line on stderr, no end after the last
        std::fputs("one\r\n", stdout);
        std::fflush(stdout);
        std::fputs("two\r\n", stderr);
        std::fputs("\r\n\n", stdout);
        std::fputs("three", stdout);
        return 0;
    }
    if (!std::strcmp(mode, "sleep")) {   // runs until killed, printing its process id first
        std::printf("waiting %d\n", int(getpid()));
        std::fflush(stdout);
        for (;;) pause();
    }
    if (!std::strcmp(mode, "late")) {   // output written just before the end
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        std::fputs("last words", stdout);
        return 7;
    }
    if (!std::strcmp(mode, "stdin")) {   // reports whether its input is at end of file
        std::printf(std::fgetc(stdin) == EOF ? "eof\n" : "data\n");
        return 0;
    }
    return 2;
}
