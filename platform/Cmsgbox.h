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
};

class Cboxsink {
public:
    virtual ~Cboxsink() = default;
    virtual void show(const Cbox& box) = 0;
};

// Shows one box through the installed sink.
void msgbox(const std::string& text, const std::string& caption, Boxicon icon = Boxicon::error,
            const void* owner = nullptr);

// The low layers' error box: caption "Error!", error icon, no owner.
inline void errbox(const std::string& text) { msgbox(text, "Error!", Boxicon::error, nullptr); }

// Installs a sink for the whole process and returns the previous one; null restores the
// standard-error sink.
Cboxsink* setboxsink(Cboxsink* sink);

// The command-line face: prints "caption: text" to standard error, the line break of a low
// layer's text kept as it is.
class Cstderrbox : public Cboxsink {
public:
    void show(const Cbox& box) override;
};
