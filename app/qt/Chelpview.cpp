#include "app/qt/Chelpview.h"

#include "platform/Cshell.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPushButton>
#include <QStyle>
#include <QTextBrowser>
#include <QToolButton>
#include <QVBoxLayout>

Chelpview::Chelpview(QWidget* owner) : QDialog(owner)
{
    setObjectName("helpview");
    setAttribute(Qt::WA_DeleteOnClose);
    // A window of its own (with the window manager's buttons), not a modal box.
    setWindowFlag(Qt::Window, true);
    setModal(false);
    resize(760, 600);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(4, 4, 4, 4);
    auto* bar = new QHBoxLayout;
    auto button = [&](const char* text, QStyle::StandardPixmap icon, const QKeySequence& key) {
        auto* b = new QToolButton(this);
        b->setText(text);
        b->setIcon(style()->standardIcon(icon));
        b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        b->setShortcut(key);
        bar->addWidget(b);
        return b;
    };
    m_back = button("&Back", QStyle::SP_ArrowBack, QKeySequence::Back);
    m_forward = button("&Forward", QStyle::SP_ArrowForward, QKeySequence::Forward);
    m_home = button("&Main page", QStyle::SP_DirHomeIcon, QKeySequence());
    bar->addStretch(1);
    outer->addLayout(bar);

    m_browser = new QTextBrowser(this);
    m_browser->setOpenLinks(true);
    m_browser->setOpenExternalLinks(true);   // web links go to the desktop
    outer->addWidget(m_browser, 1);

    m_back->setEnabled(false);
    m_forward->setEnabled(false);
    connect(m_back, &QToolButton::clicked, m_browser, &QTextBrowser::backward);
    connect(m_forward, &QToolButton::clicked, m_browser, &QTextBrowser::forward);
    connect(m_home, &QToolButton::clicked, this, [this] {
        const QUrl main = page().resolved(QUrl("Hlpmain.htm"));
        if (QFileInfo::exists(main.toLocalFile())) m_browser->setSource(main);
    });
    connect(m_browser, &QTextBrowser::backwardAvailable, m_back, &QToolButton::setEnabled);
    connect(m_browser, &QTextBrowser::forwardAvailable, m_forward, &QToolButton::setEnabled);
    connect(m_browser, &QTextBrowser::sourceChanged, this, [this] { settitle(); });
}

QUrl Chelpview::page() const { return m_browser->source(); }

void Chelpview::settitle()
{
    const QString t = m_browser->documentTitle();
    setWindowTitle(t.isEmpty() ? QFileInfo(page().toLocalFile()).fileName() : t);
}

bool Chelpview::open(const QString& file, QWidget* owner)
{
    const QFileInfo info(file);
    if (!info.isFile() || !info.isReadable()) return false;
    Chelpview* view = nullptr;
    if (owner) view = owner->findChild<Chelpview*>("helpview", Qt::FindDirectChildrenOnly);
    if (!view) view = new Chelpview(owner);
    view->m_browser->setSource(QUrl::fromLocalFile(info.absoluteFilePath()));
    view->settitle();
    view->show();
    view->raise();
    view->activateWindow();
    // The keys scroll the page and Tab walks its links straight away.
    view->m_browser->setFocus();
    return true;
}

QPushButton* Chelpview::button(QWidget* owner, const char* page, const std::string& progdir)
{
    auto* b = new QPushButton("&Help", owner);
    b->setObjectName("help");
    b->setAutoDefault(false);
    const std::string* dir = &progdir;
    QObject::connect(b, &QPushButton::clicked, owner, [=] { shell().openpath(page, *dir, owner); });
    return b;
}
