#include "settings/Csettings.h"

#include "settings/Ceffparam.h"
#include "settings/Cinifile.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

void Csettings::effectdefaults()
{
    for (const Ceffparam& p : EFFPARAMS) p.set(*this, p.def);
}

void Csettings::convdefaults()
{
    set(normalize, true);
    set(showerrors, false);
    set(tempo, 0);
    set(transpose, 0);
    set(voicelimit, VOICELIMIT);
}

namespace {

const char* SECTION = "Files";
const char* BANKKEY = "Sound Bank";
const char* WORKKEY = "Working folder";
const char* SYNTHSECTION = "Synthesizer";
const char* VOICEKEY = "Voice limit";

// A whole number lo..hi written as plain digits, else def.
int wholevalue(const std::string& text, int lo, int hi, int def)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return def;
    const long v = std::strtol(text.c_str(), nullptr, 10);
    return v < lo || v > hi ? def : int(v);
}

std::string cut(std::string path)
{
    if (path.size() > Csettings::MAXPATH) path.resize(Csettings::MAXPATH);
    return path;
}

// Paths from the user or the INI file: limited, with "/" separators.
std::string cleanpath(const std::string& raw)
{
    std::string path = cut(raw);
    slashes(path);
    return path;
}

void dropslash(std::string& folder)
{
    if (!folder.empty() && folder.back() == '/') folder.pop_back();
}

std::string envdir(const char* name, const char* fallback)
{
    const char* v = std::getenv(name);
    if (v && *v == '/') return v;
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + fallback;
}

}  // namespace

void slashes(std::string& path)
{
    for (char& c : path)
        if (c == '\\') c = '/';
}

bool iscompressed(const std::string& bankpath)
{
    const size_t dot = bankpath.find_last_of('.');
    return dot != std::string::npos && bankpath.compare(dot, std::string::npos, ".csf") == 0;
}

std::string progfolder(const char* argv0)
{
    std::string exe;
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n > 0 && size_t(n) < sizeof buf) exe.assign(buf, size_t(n));
    else if (argv0) exe = argv0;
    const size_t slash = exe.find_last_of('/');
    return slash == std::string::npos ? "" : exe.substr(0, slash);
}

bool installed(const std::string& folder)
{
    // The system's program tree, or any folder the person cannot write to, holds no settings.
    return folder.rfind("/usr/", 0) == 0 || ::access(folder.c_str(), W_OK) != 0;
}

std::string userfolder(const std::string& folder)
{
    return installed(folder) ? envdir("XDG_CONFIG_HOME", "/.config") + "/cantorix" : folder;
}

void Csettings::load(const std::string& folder)
{
    convdefaults();
    effectdefaults();
    progdir = cut(folder);
    inipath = cut(userfolder(progdir) + "/Cantorix.ini");
    waveout = wavein = midiout = -1;

    const Cinifile ini(inipath);
    bankpath = cleanpath(ini.read(SECTION, BANKKEY));
    if (bankpath.empty()) bankpath = "VUZADada.csf";
    // A bare file name lives in the program folder; anything with a folder part is used as given.
    if (bankpath.find('/') == std::string::npos) bankpath = cut(progdir + "/" + bankpath);
    compressed = iscompressed(bankpath);

    set(voicelimit, wholevalue(ini.read(SYNTHSECTION, VOICEKEY), 0, MAXVOICELIMIT, VOICELIMIT));

    workdir = cleanpath(ini.read(SECTION, WORKKEY));
    dropslash(workdir);
    if (workdir.empty()) workdir = cut(installed(progdir) ? envdir("HOME", "") + "/Cantorix" : progdir + "/WorkDir");
    struct stat st {};
    if (::stat(workdir.c_str(), &st) != 0) (void)::mkdir(workdir.c_str(), 0777);   // one level; failure is not fatal
}

bool Csettings::savefiles(const std::string& bank, const std::string& work)
{
    // An installed program's settings folder may not exist yet (its parent, ~/.config, does).
    const size_t slash = inipath.find_last_of('/');
    if (slash != std::string::npos && slash > 0) (void)::mkdir(inipath.substr(0, slash).c_str(), 0777);
    const Cinifile ini(inipath);
    bankpath = cleanpath(bank);
    bool ok = ini.write(SECTION, BANKKEY, bankpath);
    compressed = iscompressed(bankpath);
    workdir = cleanpath(work);
    dropslash(workdir);
    ok = ini.write(SECTION, WORKKEY, workdir) && ok;
    return ok;
}
