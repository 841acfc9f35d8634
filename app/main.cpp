// cantorix: the desktop program. The folder of the executable is the program folder; the main
// window runs until the person closes it, and then the program ends.
#include "convert/Ccontext.h"
#include "app/qt/Cicons.h"
#include "app/Cmainwin.h"
#include "platform/Cdevlist.h"
#include "platform/devices/Cmidiportrt.h"
#include "platform/devices/Cwaveiopa.h"
#include "app/qt/Cqtface.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("Cantorix");
    QApplication::setWindowIcon(appicon());
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
    win.exec();
    return 0;
}
