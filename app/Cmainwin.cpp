#include "app/Cmainwin.h"

#include "app/qt/Cdrop.h"
#include "app/qt/Cqtface.h"

#include "app/dialogs/Caboutdialog.h"
#include "app/qt/Cicons.h"
#include "app/dialogs/Cpropdialog.h"
#include "app/dialogs/Cconvdlg.h"
#include "platform/Cmsgbox.h"
#include "platform/Cshell.h"
#include "app/dialogs/Ceffdialog.h"
#include "app/dialogs/Cmixdialog.h"
#include "app/dialogs/Coptdialog.h"
#include "app/tools/Caumixer.h"
#include "app/tools/Cmp3conv.h"
#include "app/tools/Cplayer.h"
#include "app/tools/Crecorder.h"

#include <QAction>
#include <QFileInfo>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QShortcut>
#include <QStatusTipEvent>
#include <QToolBar>
#include <QVBoxLayout>

#include <algorithm>

const char* Cmainwin::TITLE = "Cantorix-Midi/Karaoke to Wave converter";
const char* Cmainwin::NONE = "(None)";
const char* Cmainwin::READY = "Ready";

namespace {

// One menu command: its menu text, status text and tooltip ("" when it has none).
struct Cmdtext {
    int id;
    const char* text;
    const char* status;
    const char* tip;
};

const Cmdtext CMDS[] = {
    {ID_OPEN, "&Open", "Load a MIDI, Karaoke or WAVE file", "Load file"},
    {ID_PROPERTIES, "&Properties", "See the properties of a MIDI, Karaoke or WAVE file", ""},
    {ID_CLEAR, "&Clear", "Clear MIDI/Kar and Wave files", "Clear files"},
    {ID_EXIT, "E&xit", "Exit the aplication", ""},
    {ID_CONVERTER, "&MIDI converter", "Convert a MIDI or Karaoke file to WAVE", "MIDI Convert"},
    {ID_PLAYER, "&Player", "Play back a MIDI/Kar or WAVE file", "Play back"},
    {ID_RECORDER, "&Recorder", "Record a WAVE file from sound inputs", "Record"},
    {ID_AUMIXER, "&Audio Mixer", "Mix two or more WAVE files into one", "Audio Mixer"},
    {ID_MP3, "MP3 &converter", "Convert MP3 files to WAVE and vice-versa", "MP3 converter"},
    {ID_OPTIONS, "&Options", "View and edit general purpose parameters", "Options"},
    {ID_EFFECTS, "&Effects", "View and edit audio effects parameters", "Audio Effects"},
    {ID_MIDIMIXER, "&MIDI mixer", "View and set MIDI channel parameters", "Midi Mixer"},
    {ID_HELPMAIN, "&Main", "Show the Cantorix main help page", "Main help page"},
    {ID_TUTORIAL, "&Tutorial", "Show the Cantorix tutorial", "Cantorix tutorial"},
    {ID_HELPMIDIC, "MI&DI converter", "", ""},
    {ID_HELPPLAYER, "&Player", "Shows the file player help page", "File player"},
    {ID_HELPRECOR, "&Recorder", "Shows the recorder help page", "Recorder"},
    {ID_HELPAUMIX, "A&udio mixer", "Shows the audio mixer help page", "Audio mixer"},
    {ID_HELPMP3, "MP3 &converter", "Shows the MP3 converter help page", "MP3 converter"},
    {ID_ABOUT, "&About", "Shows the Cantorix About box", "About box"},
};

const std::map<int, const char*> PAGES = {
    {ID_HELPMAIN, "Hlpmain.htm"}, {ID_TUTORIAL, "Tutorial.htm"}, {ID_HELPMIDIC, "Hlpmidic.htm"},
    {ID_HELPPLAYER, "Hlplayer.htm"}, {ID_HELPRECOR, "Hlprecor.htm"},
    {ID_HELPAUMIX, "Hlpaumix.htm"}, {ID_HELPMP3, "Hlpmp3cv.htm"},
};

}

Cmainwin::Cmainwin(Ccontext& ctx, QWidget* parent) : QDialog(parent), m_ctx(ctx)
{
    setWindowTitle(TITLE);
    setWindowIcon(appicon());
    new Cdrop(this, [this](const QStringList& paths) { dropfiles(paths); });

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    buildmenus();
    outer->setMenuBar(m_menubar);
    buildtoolbar();
    outer->addWidget(m_toolbar);

    auto* body = new QGridLayout;
    body->setContentsMargins(12, 12, 12, 8);
    body->setHorizontalSpacing(10);
    body->setVerticalSpacing(8);
    auto sunken = [this](const char* text) {
        auto* l = new QLabel(text, this);
        l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        l->setMinimumWidth(260);
        l->setTextInteractionFlags(Qt::NoTextInteraction);
        return l;
    };
    m_midi = sunken(NONE);
    m_wave = sunken(NONE);
    body->addWidget(new QLabel("MIDI/Kar file:", this), 0, 0);
    body->addWidget(m_midi, 0, 1);
    body->addWidget(new QLabel("WAVE file:", this), 1, 0);
    body->addWidget(m_wave, 1, 1);
    body->setColumnStretch(1, 1);
    outer->addLayout(body);
    outer->addStretch(1);

    // The desktop's Help key opens the main page, owned by the main window.
    auto* helpkey = new QShortcut(QKeySequence::HelpContents, this);
    connect(helpkey, &QShortcut::activated, this, [this] { help("Hlpmain.htm", this); });

    m_status = sunken(READY);
    m_status->setContentsMargins(4, 1, 4, 1);
    outer->addWidget(m_status);
}

Cmainwin::~Cmainwin() = default;

void Cmainwin::buildmenus()
{
    m_menubar = new QMenuBar(this);
    auto add = [this](QMenu* menu, int id) {
        const Cmdtext* c = std::find_if(std::begin(CMDS), std::end(CMDS), [id](const Cmdtext& t) { return t.id == id; });
        QAction* a = menu->addAction(c->text);
        a->setStatusTip(c->status);
        a->setToolTip(*c->tip ? c->tip : QString(c->text).remove('&'));
        a->setData(id);
        connect(a, &QAction::triggered, this, [this, id] { command(id); });
        m_actions[id] = a;
        return a;
    };
    QMenu* file = m_menubar->addMenu("&File");
    add(file, ID_OPEN)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    add(file, ID_PROPERTIES);
    add(file, ID_CLEAR);
    add(file, ID_EXIT);
    QMenu* tools = m_menubar->addMenu("&Tools");
    add(tools, ID_CONVERTER)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    add(tools, ID_PLAYER)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    add(tools, ID_RECORDER)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    add(tools, ID_AUMIXER)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
    add(tools, ID_MP3)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    QMenu* settings = m_menubar->addMenu("&Settings");
    add(settings, ID_OPTIONS);
    add(settings, ID_EFFECTS);
    add(settings, ID_MIDIMIXER);
    QMenu* helpmenu = m_menubar->addMenu("&Help");
    add(helpmenu, ID_HELPMAIN);
    add(helpmenu, ID_TUTORIAL);
    helpmenu->addSeparator();
    add(helpmenu, ID_HELPMIDIC);
    add(helpmenu, ID_HELPPLAYER);
    add(helpmenu, ID_HELPRECOR);
    add(helpmenu, ID_HELPAUMIX);
    add(helpmenu, ID_HELPMP3);
    helpmenu->addSeparator();
    add(helpmenu, ID_ABOUT);
    for (QMenu* m : {file, tools, settings, helpmenu})
        connect(m, &QMenu::aboutToHide, this, [this] { setstatus(READY); });
}

void Cmainwin::buildtoolbar()
{
    m_toolbar = new QToolBar(this);
    m_toolbar->setIconSize(QSize(16, 16));
    m_toolbar->setStyleSheet("QToolBar { border-bottom: 1px solid palette(mid); }");
    const int order[] = {ID_OPEN, 0, ID_CONVERTER, ID_PLAYER, ID_RECORDER, ID_AUMIXER, ID_MP3, 0,
                         ID_OPTIONS, ID_EFFECTS, ID_MIDIMIXER, 0, ID_HELPMAIN};
    for (int id : order) {
        if (id == 0) {
            m_toolbar->addSeparator();
            continue;
        }
        QAction* a = m_actions.at(id);
        a->setIcon(toolicon(id));
        m_toolbar->addAction(a);
    }
}

QAction* Cmainwin::action(int id) const
{
    auto it = m_actions.find(id);
    return it == m_actions.end() ? nullptr : it->second;
}

QString Cmainwin::miditext() const { return m_midi->text(); }
QString Cmainwin::wavetext() const { return m_wave->text(); }
QString Cmainwin::status() const { return m_status->text(); }

void Cmainwin::setstatus(const QString& s)
{
    m_status->setText(s);
}

bool Cmainwin::event(QEvent* e)
{
    // Menu items and toolbar buttons report their status text on hover, and an empty one when
    // the pointer leaves them.
    if (e->type() == QEvent::StatusTip) {
        const QString tip = static_cast<QStatusTipEvent*>(e)->tip();
        setstatus(tip.isEmpty() ? READY : tip);
        return true;
    }
    return QDialog::event(e);
}

void Cmainwin::command(int id)
{
    auto page = PAGES.find(id);
    if (page != PAGES.end()) {
        help(page->second, this);
        return;
    }
    switch (id) {
    case ID_OPEN: cmdopen(); break;
    case ID_PROPERTIES: cmdproperties(); break;
    case ID_CLEAR: cmdclear(); break;
    case ID_EXIT: accept(); break;
    case ID_AUMIXER: {
        Caumixer dlg(m_ctx);
        runtool(&dlg);
        break;
    }
    case ID_PLAYER: {
        Cplayer dlg(m_ctx, this);
        runtool(&dlg);
        break;
    }
    case ID_RECORDER: {
        Crecorder dlg(m_ctx, this);
        runtool(&dlg);
        break;
    }
    case ID_CONVERTER: {
        Cconvdlg dlg(m_ctx, this);
        runtool(&dlg);
        break;
    }
    case ID_OPTIONS: {
        Coptdialog dlg(m_ctx.settings, m_ctx.devices());
        dlg.exec();
        break;
    }
    case ID_EFFECTS: {
        Ceffdialog dlg(m_ctx.settings);
        dlg.exec();
        break;
    }
    case ID_MIDIMIXER: {
        Cmixdialog dlg(m_ctx.mixer);
        dlg.exec();
        break;
    }
    case ID_MP3: {
        Cmp3conv dlg(m_ctx, this);
        runtool(&dlg);
        break;
    }
    case ID_ABOUT: {
        Caboutdialog dlg;
        dlg.exec();
        break;
    }
    default: break;
    }
}

void Cmainwin::help(const std::string& page, const void* owner)
{
    shell().openpath(page, m_ctx.settings.progdir, owner);
}

void Cmainwin::runtool(QDialog* tool)
{
    showMinimized();
    m_tool = tool;
    tool->exec();
    m_tool = nullptr;
    showNormal();
    raise();
    activateWindow();   // the restored main window takes the keyboard again
}

void Cmainwin::changeEvent(QEvent* e)
{
    // Restoring the main window while a tool runs brings the tool forward instead.
    if (e->type() == QEvent::WindowStateChange && m_tool && !(windowState() & Qt::WindowMinimized)) {
        m_tool->showNormal();
        m_tool->activateWindow();
        setWindowState(windowState() | Qt::WindowMinimized);
    }
    QDialog::changeEvent(e);
}

void Cmainwin::handle(unsigned msg, uintptr_t, intptr_t)
{
    if (msg != WM_REFRESH) return;
    m_midi->setText(m_ctx.midi ? qs(m_ctx.midititle) : QString(NONE));
    m_wave->setText(m_ctx.wave ? qs(m_ctx.wavetitle) : QString(NONE));
}

void Cmainwin::openfiles(const QStringList& args)
{
    bool midi = false, wave = false;
    for (const QString& a : args) {
        const Cfilepick pick = makepick(QFileInfo(a).absoluteFilePath().toLocal8Bit().toStdString());
        const Cplayeng::Kind k = Cplayeng::kindof("." + lowercase(pick.ext), true);
        if (k == Cplayeng::Kind::midi && !midi) {
            midi = true;
            loadmidi(pick.path, pick.title);
        } else if (k == Cplayeng::Kind::wave && !wave) {
            wave = true;
            loadwave(pick.path, pick.title);
        }
    }
    if (!midi && !wave && !args.isEmpty())
        msgbox("The program doesn't know how to process the file selected\nPlease choose another file and try again",
               "Unknown file type", Boxicon::warning, this,
               filedetail(QFileInfo(args.first()).absoluteFilePath().toLocal8Bit().toStdString()));
}

void Cmainwin::cmdopen()
{
    const auto pick = Cplayeng::choose(m_ctx, this);
    if (pick) load(pick->first, pick->second);
}

void Cmainwin::dropfiles(const QStringList& paths)
{
    const std::optional<Cdropped> drop = droppedfile(paths);
    if (drop) load(Cplayeng::kindof(drop->ext, false), drop->path);
}

void Cmainwin::load(Cplayeng::Kind kind, const std::string& path)
{
    if (kind == Cplayeng::Kind::wave) loadwave(path, titleof(path));
    else if (kind == Cplayeng::Kind::midi) loadmidi(path, titleof(path));
}

void Cmainwin::keyPressEvent(QKeyEvent* e)
{
    // Enter ends the main dialog as Escape and the close button do.
    if (e->modifiers() == Qt::NoModifier && (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter)) {
        accept();
        return;
    }
    QDialog::keyPressEvent(e);
}

void Cmainwin::loadwave(const std::string& path, const std::string& title)
{
    m_wave->setText(qs(title));
    m_ctx.setwave(path);
}

void Cmainwin::loadmidi(const std::string& path, const std::string& title)
{
    m_midi->setText(qs(title));
    if (m_ctx.loadmidi(path)) return;
    msgbox("The MIDI/KAR file selected could not be loaded\nIt either does not exist, or it is corrupt\n"
           "or it has an unknown format\nPlease select another MIDI/KAR file and try again",
           "Couldn't load MIDI/KAR file", Boxicon::warning, this, filedetail(path));
    m_midi->setText(NONE);
}

void Cmainwin::cmdclear()
{
    if (m_ctx.wave) {
        m_ctx.clearwave();
        m_wave->setText(NONE);
    }
    if (m_ctx.midi) {
        m_ctx.clearmidi();   // clears the mixer table
        m_midi->setText(NONE);
    }
}

void Cmainwin::cmdproperties()
{
    Cpropdialog dlg(m_ctx);
    dlg.exec();
}
