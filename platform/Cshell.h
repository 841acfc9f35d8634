#pragma once
// What the desktop supplies to dialogs: the Open and Save file dialogs, the folder browser and
// "open with the shell" (a help page or a finished MP3 file in the desktop's default program).
// The desktop program installs Cqtshell; tests install Cscriptshell, which answers from a
// script and records every request, so that a test drives a dialog as a person would.
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The filter of the Open dialogs that take a MIDI, karaoke or WAVE file.
inline constexpr const char* MIDIWAVEFILTER =
    "MIDI, Kar & WAVE Files (*.mid;*.midi;*.kar;*.wav)|*.mid;*.midi;*.kar;*.wav|"
    "MIDI Files (*.mid;*.midi)|*.mid;*.midi|Karaoke Files (*.kar)|*.kar|"
    "WAVE Files (*.wav)|*.wav|All Files (*.*)|*.*||";

// One file dialog request. The filter uses the pipe syntax
// "Name (*.a;*.b)|*.a;*.b|All Files (*.*)|*.*||": pairs of shown name and patterns.
struct Cfilereq {
    std::string filter;
    std::string startdir;       // empty: the desktop chooses
    std::string defext;         // added to a typed name without extension, e.g. "sf2"
    std::string name;           // initial file name (Save dialogs)
    bool anyname = false;       // Open dialogs: a name that does not exist yet is accepted too
    const void* owner = nullptr;
};

// The answer of a file dialog: the full path, the file name without folder and the text after
// the last "." of the file name ("" when there is none).
struct Cfilepick {
    std::string path;
    std::string title;
    std::string ext;
};

// Splits a pipe filter into (name, patterns) pairs; patterns are split at ";".
std::vector<std::pair<std::string, std::vector<std::string>>> splitfilter(const std::string& filter);
// The Qt spelling of a pipe filter: "Name (*.a *.b);;All Files (*)". The patterns in a shown
// name's parentheses are rebuilt from the real ones; "*.*" becomes "*" so that files without an
// extension are listed too.
std::string qtfilter(const std::string& filter);
// Fills title and ext of a pick from its path.
Cfilepick makepick(const std::string& path);

class Cshell {
public:
    virtual ~Cshell() = default;
    virtual std::optional<Cfilepick> openfile(const Cfilereq& req) = 0;
    virtual std::optional<Cfilepick> savefile(const Cfilereq& req) = 0;
    // The folder chosen, or nothing when the person cancels.
    virtual std::optional<std::string> browsefolder(const std::string& title, const void* owner) = 0;
    // Opens a file with the desktop's default program, with dir as the working folder; a
    // relative name is found in dir. The program's help pages (".htm") open in its own help
    // viewer. False when nothing could open the file.
    virtual bool openpath(const std::string& file, const std::string& dir, const void* owner) = 0;
};

// The installed shell; without one, every dialog is cancelled and openpath fails.
Cshell& shell();
Cshell* setshell(Cshell* s);

// The test face: answers are consumed in order; a missing answer counts as Cancel.
class Cscriptshell : public Cshell {
public:
    Cscriptshell() { m_prev = setshell(this); }
    ~Cscriptshell() override { setshell(m_prev); }

    struct Request {
        std::string kind;       // "open", "save", "folder" or "shell"
        Cfilereq req;           // for "open" and "save"
        std::string text;       // folder title, or the file given to openpath
        std::string dir;        // openpath's working folder
    };

    void answer(const std::string& path) { m_answers.push_back(path); }
    void cancel() { m_answers.push_back(std::nullopt); }
    // Makes every later openpath fail, as on a desktop without a program for the file.
    void noopener() { m_noopener = true; }
    const std::vector<Request>& requests() const { return m_requests; }
    const Request& last() const { return m_requests.back(); }

    std::optional<Cfilepick> openfile(const Cfilereq& req) override;
    std::optional<Cfilepick> savefile(const Cfilereq& req) override;
    std::optional<std::string> browsefolder(const std::string& title, const void* owner) override;
    bool openpath(const std::string& file, const std::string& dir, const void* owner) override;

private:
    bool m_noopener = false;
    std::optional<std::string> next();
    std::deque<std::optional<std::string>> m_answers;
    std::vector<Request> m_requests;
    Cshell* m_prev = nullptr;
};
