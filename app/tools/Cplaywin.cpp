#include "app/tools/Cplaywin.h"

#include "app/qt/Cdrop.h"
#include "app/qt/Chelpview.h"
#include "app/qt/Cqtface.h"
#include "platform/Cshell.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

Cplaywin::Cplaywin(Ccontext& ctx, Cwindow* mainwin, const char* title, const char* helppage, QWidget* parent)
    : QDialog(parent), m_ctx(ctx), m_mainwin(mainwin), m_helppage(helppage), m_eng(ctx, this, this)
{
    setWindowTitle(title);
    new Cdrop(this, [this](const QStringList& paths) { dropfiles(paths); });
}

Cplaywin::~Cplaywin()
{
    m_eng.stop();
    m_lyr.close();
}

void Cplaywin::titlerow(QGridLayout* grid, QWidget* box, int span)
{
    m_title = new QLineEdit(box);
    m_title->setReadOnly(true);
    m_title->setMinimumWidth(240);
    m_browse = new QPushButton("&Browse", box);
    m_browse->setAutoDefault(false);
    connect(m_browse, &QPushButton::clicked, this, &Cplaywin::browse);
    grid->addWidget(m_title, 1, 0, 1, span);
    grid->addWidget(m_browse, 1, span);
    grid->setColumnStretch(span - 1, 1);
}

QHBoxLayout* Cplaywin::helprow()
{
    auto* row = new QHBoxLayout;
    m_help = Chelpview::button(this, m_helppage, m_ctx.settings.progdir);
    m_close = new QPushButton("&Close", this);
    m_close->setAutoDefault(false);
    connect(m_close, &QPushButton::clicked, this, &QDialog::accept);
    row->addWidget(m_help);
    row->addStretch(1);
    row->addWidget(m_close);
    return row;
}

void Cplaywin::help()
{
    shell().openpath(m_helppage, m_ctx.settings.progdir, this);
}

void Cplaywin::setlyricsmode(int mode)
{
    m_lyricsmode = std::clamp(mode, 0, 2);
    controls();
}

void Cplaywin::showfile(Cplayeng::Kind kind)
{
    if (kind == Cplayeng::Kind::midi) {
        m_title->setText(qs(m_ctx.midititle));
        m_total = m_eng.miditotal();
    } else if (kind == Cplayeng::Kind::wave) {
        m_title->setText(qs(m_ctx.wavetitle));
        m_total = m_ctx.wave ? m_ctx.wave->duration() : 0;
    } else {
        m_title->clear();
    }
}

bool Cplaywin::loadfile(Cplayeng::Kind kind, const std::string& path)
{
    bool ok = true;
    if (kind == Cplayeng::Kind::midi) {
        m_title->setText(qs(titleof(path)));
        ok = m_eng.loadmidi(path);
        m_lyricsmode = m_eng.kar() ? 1 : 0;
        if (ok) m_total = m_eng.miditotal();
        else m_title->clear();
    } else if (kind == Cplayeng::Kind::wave) {
        m_title->setText(qs(titleof(path)));
        m_eng.loadwave(path);
        m_total = m_ctx.wave->duration();
    }
    if (m_mainwin) sendmsg(m_mainwin, WM_REFRESH);
    return ok;
}

void Cplaywin::browse()
{
    if (busy()) return;
    const auto pick = Cplayeng::choose(m_ctx, this);
    if (pick) load(pick->first, pick->second, true);
}

void Cplaywin::dropfiles(const QStringList& paths)
{
    if (busy()) return;
    const std::optional<Cdropped> drop = droppedfile(paths);
    if (!drop) return;
    const Cplayeng::Kind kind = Cplayeng::kindof(drop->ext, false);
    if (kind != Cplayeng::Kind::other) load(kind, drop->path, false);
}

void Cplaywin::handle(unsigned msg, uintptr_t, intptr_t lparam)
{
    if (msg == WM_CLOSELYR) {
        stop();
        m_lyr.close();
        return;
    }
    if (message(msg, lparam)) return;
    switch (m_eng.handle(msg)) {
    case Cplayeng::Event::position:
        moved();
        break;
    case Cplayeng::Event::ended:
        ended();
        break;
    default:
        break;
    }
}
