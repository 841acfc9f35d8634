// cantorix [FILE...]: the desktop program. The folder of the executable is the program folder;
// the files named on the command line become the current files; the main window runs until the
// person closes it, and then the program ends.
#include "convert/Ccontext.h"
#include "app/qt/Cicons.h"
#include "app/Cmainwin.h"
#include "audio/Cnewfil.h"
#include "platform/Cdevlist.h"
#include "platform/devices/Cmidiportrt.h"
#include "platform/devices/Cwaveiopa.h"
#include "app/qt/Cqtface.h"

#include <QApplication>

int main(int argc, char** argv)
{
    Cnewfil::guardsignals();
    QApplication app(argc, argv);
    QApplication::setApplicationName("Cantorix");
    QApplication::setWindowIcon(appicon());
    QApplication::setDesktopFileName("cantorix");
    // Fields that show a value but take no typing look like it: the window's colour behind them.
    app.setStyleSheet("QLineEdit[readOnly=\"true\"] { background: palette(window); }");
    Cqtfaces faces;
    // The real wave and MIDI devices for the whole run.
    static Cpawave w;
    setwavesys(&w);
    static Crtmidi m;
    setmidisys(&m);

    Ccontext ctx;
    ctx.settings.load(progfolder(argv[0]));
    ctx.devices = [] { return Cdevlist::all(); };

    // The main window runs modally; when it ends (Exit, Enter, Escape or its close button), the
    // program ends.
    Cmainwin win(ctx);
    // "cantorix FILE...": the files open as File/Open opens them.
    // QApplication has taken its own options out of argv by now.
    QStringList files;
    for (int i = 1; i < argc; ++i) files << QString::fromLocal8Bit(argv[i]);
    win.show();
    win.openfiles(files);
    win.exec();
    return 0;
}
