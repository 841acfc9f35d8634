#pragma once
// Message boxes. Every box of the program goes through msgbox(): the desktop program installs a
// sink that shows a real dialog, the command-line tool prints "caption: text" to standard error
// (the default sink), and tests install a sink that captures the boxes in order.
//
// msgbox() may be called from any thread; the sink decides how to reach the user. It returns
// only after the box has been dealt with, as a modal box would.
#include <string>

enum class Boxicon { error, warning, information };

struct Cbox {
    std::string text;
    std::string caption;
    Boxicon icon = Boxicon::error;
    const void* owner = nullptr;   // the owning window, or null for a box without owner
    // The file the box is about (full path) and, on a second line, the system's reason; shown
    // under the text, which stays as it is. Empty when the box is about no file.
    std::string detail;
};

class Cboxsink {
public:
    virtual ~Cboxsink() = default;
    virtual void show(const Cbox& box) = 0;
    // A question with the buttons Replace and Cancel; true for Replace. A sink that cannot ask
    // shows the box and answers Cancel, so nothing is replaced without a yes.
    virtual bool askreplace(const Cbox& box)
    {
        show(box);
        return false;
    }
};

// Shows one box through the installed sink. detail: see Cbox.
void msgbox(const std::string& text, const std::string& caption, Boxicon icon = Boxicon::error,
            const void* owner = nullptr, const std::string& detail = std::string());
// Asks Replace / Cancel through the installed sink (warning icon); true for Replace.
bool askreplace(const std::string& text, const std::string& caption, const void* owner,
                const std::string& detail = std::string());
// The detail of a box about a file: its full path, and the system's reason for errno err on a
// second line when err is not 0.
std::string filedetail(const std::string& path, int err = 0);
// The system's reason for errno value err, as a short text ("not a regular file" for ESPIPE,
// which the input checks set for pipes and devices).
std::string reason(int err);

// The low layers' error box: caption "Error!", error icon, no owner; detail as for msgbox.
inline void errbox(const std::string& text, const std::string& detail = std::string())
{
    msgbox(text, "Error!", Boxicon::error, nullptr, detail);
}

// Installs a sink for the whole process and returns the previous one; null restores the
// standard-error sink.
Cboxsink* setboxsink(Cboxsink* sink);

// The command-line face: prints "caption: text" to standard error, the line break of a low
// layer's text kept as it is, then the detail (if any) on lines of its own, indented.
class Cstderrbox : public Cboxsink {
public:
    void show(const Cbox& box) override;
};
