#pragma once
// The subcommands of cantorix-cli. Each takes the arguments after its own name and returns the
// process exit code: 0 on success, 1 when a file failed, 2 for a wrong command line. cmdplay is
// the whole of cantorix-play, which "cantorix-cli play" hands over to.
#include <string>
#include <vector>

using Args = std::vector<std::string>;

int cmdconvert(const Args& args);
int cmddump(const Args& args);
int cmdinfo(const Args& args);
int cmdpack(const Args& args);
int cmdplay(const Args& args);
int cmdunpack(const Args& args);

// The kinds of file "info" tells apart by extension; each prints its own facts.
int infomidi(const std::string& path);
int infowave(const std::string& path);
int infobank(const std::string& path);

// Lower-case extension of a path without the dot ("" when there is none).
std::string extof(const std::string& path);
// True when args holds "--help" or "-h".
bool wantshelp(const Args& args);
// Checks that path is a regular file that can be read; otherwise prints
// "cantorix-cli CMD: PATH: reason" and returns false.
bool readable(const char* cmd, const std::string& path);
// Checks what a command that writes out from ins may do: out must end in ext and be none of ins
// (by device and inode, whatever links lead there). Prints the reason and returns the exit code
// (2 for a wrong extension, 1 for an output that is an input or a read-only file), 0 when all
// is well.
int writable(const char* cmd, const std::string& out, const char* ext, const Args& ins);
// For a command that writes the one file out: SIGINT, SIGTERM and SIGHUP print
// "cantorix-cli CMD: interrupted; nothing written to OUT" and end the program by the signal
// (exit 128 + its number), the earlier file of that name untouched. A signal that comes once out
// has taken its name is ignored: the program is done and exits 0.
void guardoutput(const char* cmd, const std::string& out);
