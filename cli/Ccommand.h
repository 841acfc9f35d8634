#pragma once
// The subcommands of cantorix-cli. Each takes the arguments after its own name and returns the
// process exit code: 0 on success, 1 when a file failed, 2 for a wrong command line.
#include <string>
#include <vector>

using Args = std::vector<std::string>;

int cmdconvert(const Args& args);
int cmddump(const Args& args);
int cmdinfo(const Args& args);
int cmdpack(const Args& args);
int cmdunpack(const Args& args);

// The kinds of file "info" tells apart by extension; each prints its own facts.
int infomidi(const std::string& path);
int infowave(const std::string& path);
int infobank(const std::string& path);

// Lower-case extension of a path without the dot ("" when there is none).
std::string extof(const std::string& path);
// True when args holds "--help" or "-h".
bool wantshelp(const Args& args);
