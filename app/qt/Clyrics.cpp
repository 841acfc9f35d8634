#include "app/qt/Clyrics.h"

#include "platform/Ctimer.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPaintEvent>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>

const char* Clyrics::TITLE = "Cantorix - Lyrics";
const char* Clyrics::TITLEFOR = "Cantorix - Lyrics for ";
const QColor Clyrics::BACKGROUND(0, 108, 108);

namespace {

double nowus()
{
    using namespace std::chrono;
    return double(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

QRect qrect(const Crect& r) { return QRect(r.left, r.top, r.width(), r.height()); }

}  // namespace

QRect Clyrics::placement(const QRect& screen, const QRect& area, const QRect& owner, const QMargins& frame)
{
    const QSize want = screen.size() / 2;
    auto near = [&](const QSize& size, const QRect& in) {
        // As close to the screen's centre as the room allows.
        const int x = screen.left() + (screen.width() - size.width()) / 2;
        const int y = screen.top() + (screen.height() - size.height()) / 2;
        return QRect(std::clamp(x, in.left(), std::max(in.left(), in.right() + 1 - size.width())),
                     std::clamp(y, in.top(), std::max(in.top(), in.bottom() + 1 - size.height())), size.width(),
                     size.height());
    };
    const QRect centred = near(want, screen);
    if (!owner.isValid() || !centred.marginsAdded(frame).intersects(owner)) return centred;
    // The owner's controls stay free: the room above, below, left or right of it that holds the
    // most, the window no narrower for its height than at half the screen.
    const QRect rooms[4] = {
        QRect(area.topLeft(), QPoint(area.right(), owner.top() - 1)),
        QRect(QPoint(area.left(), owner.bottom() + 1), area.bottomRight()),
        QRect(area.topLeft(), QPoint(owner.left() - 1, area.bottom())),
        QRect(QPoint(owner.right() + 1, area.top()), area.bottomRight()),
    };
    QRect best;
    for (const QRect& room : rooms) {
        const QRect inner = room.marginsRemoved(frame);
        if (inner.width() < MINW || inner.height() < MINH) continue;
        QSize size = want.boundedTo(inner.size());
        const int tallest = size.width() * want.height() / std::max(want.width(), 1);
        size.setHeight(std::max(MINH, std::min(size.height(), tallest)));
        if (size.width() * size.height() > best.width() * best.height()) best = near(size, inner);
    }
    // With no room anywhere (an owner as large as the screen) the centre is all there is.
    return best.isValid() ? best : centred;
}

Clyrics::Clyrics(Cwindow* owner, const std::string& filename, const Cnode* first, int division, double startus,
                 bool selftimed, bool fullscreen)
    // A window of the owner's own: while the player or the recorder runs modal, input reaches
    // only that dialog and the windows it owns.
    : QWidget(dynamic_cast<QWidget*>(owner), fullscreen ? Qt::Window | Qt::FramelessWindowHint : Qt::Tool),
      m_owner(owner), m_full(fullscreen)
{
    if (const QByteArray log = qgetenv("CANTORIX_LYRICSLOG"); !log.isEmpty()) {
        m_log = std::fopen(log.constData(), "a");
        if (m_log) std::fprintf(m_log, "start %.0f\n", startus);
    }
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    QWidget* dialog = parentWidget();
    QScreen* screen = dialog && dialog->screen() ? dialog->screen() : QGuiApplication::primaryScreen();
    if (fullscreen) {
        setWindowTitle(TITLE);
        setCursor(Qt::BlankCursor);
        setGeometry(screen ? screen->geometry() : QRect(0, 0, 1024, 768));
    } else {
        setWindowTitle(QString(TITLEFOR) + QString::fromLocal8Bit(filename.c_str()));
        place();
        // The dialog may move onto the window later; the window then makes room again.
        if (dialog) dialog->installEventFilter(this);
    }
    m_state.setmeasure([this](const char* text, int count) {
        return QFontMetrics(font()).horizontalAdvance(QString::fromLocal8Bit(text, count));
    });
    m_state.layout(width(), height());
    m_state.start(first, startus, division, timeGetTime());

    m_pausetimer = new QTimer(this);
    m_pausetimer->setInterval(Clyricsstate::TICKMS);
    connect(m_pausetimer, &QTimer::timeout, this, &Clyrics::tick);

    if (selftimed) {
        const Timecaps caps = timeGetDevCaps();
        m_period = std::min(std::max(caps.periodmin, 1u), caps.periodmax);
        timeBeginPeriod(m_period);
        std::lock_guard<std::mutex> lock(m_slock);
        m_selftimed = true;
        m_snode = m_state.startnode();
        m_stempo = m_state.starttempo();
        m_sdue = nowus() + m_state.startdelay();
        schedule();
    }
    sync();
    show();
    activateWindow();
    setFocus();
}

Clyrics::~Clyrics()
{
    stopschedule();
    if (m_log) std::fclose(m_log);
}

// The frame the window manager puts around w. Qt learns it from the window manager some time
// after the window shows, and until then reports none, or stale figures; a frame smaller than a
// usual title bar and border is taken as that, so that a window placed beside w before its frame
// is known keeps off it all the same.
QMargins Clyrics::framemargins(const QWidget* w)
{
    static constexpr QMargins USUAL(4, 32, 4, 8);
    const QRect outer = w->frameGeometry(), inner = w->geometry();
    QMargins m;
    if (outer.contains(inner))
        m = QMargins(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                     outer.bottom() - inner.bottom());
    return QMargins(std::max(m.left(), USUAL.left()), std::max(m.top(), USUAL.top()),
                    std::max(m.right(), USUAL.right()), std::max(m.bottom(), USUAL.bottom()));
}

void Clyrics::place()
{
    QWidget* dialog = parentWidget();
    QScreen* screen = dialog && dialog->screen() ? dialog->screen() : QGuiApplication::primaryScreen();
    const QRect whole = screen ? screen->geometry() : QRect(0, 0, 1024, 768);
    const QRect area = screen ? screen->availableGeometry() : whole;
    QRect ownerframe;
    QMargins frame;
    if (dialog && dialog->isVisible()) {
        // The frame this window gets is not known before it shows; the dialog's is near.
        frame = framemargins(dialog);
        ownerframe = dialog->geometry().marginsAdded(frame);
    }
    const QRect r = placement(whole, area, ownerframe, frame);
    setGeometry(r);
    if (m_log)
        std::fprintf(m_log, "place %d %d %d %d beside %d %d %d %d\n", r.x(), r.y(), r.width(), r.height(), ownerframe.x(),
                     ownerframe.y(), ownerframe.width(), ownerframe.height());
}

bool Clyrics::eventFilter(QObject* watched, QEvent* e)
{
    QWidget* dialog = parentWidget();
    if (watched == dialog && isVisible() && (e->type() == QEvent::Move || e->type() == QEvent::Resize)) {
        // Moved onto this window, the dialog would sit under it with its buttons out of reach.
        if (geometry().marginsAdded(framemargins(this)).intersects(dialog->geometry().marginsAdded(framemargins(dialog))))
            place();
    }
    return QWidget::eventFilter(watched, e);
}

void Clyrics::stopschedule()
{
    unsigned id = 0;
    {
        std::lock_guard<std::mutex> lock(m_slock);
        if (!m_selftimed) return;
        m_selftimed = false;
        m_sstop = true;
        id = m_stimer;
        m_stimer = 0;
    }
    if (id) timeKillEvent(id);
    if (m_period) timeEndPeriod(m_period);
    m_period = 0;
}

void Clyrics::ontimer(unsigned id)
{
    std::lock_guard<std::mutex> lock(m_slock);
    if (id != m_stimer || m_sstop) return;
    m_stimer = 0;
    schedule();
}

void Clyrics::schedule()
{
    const int division = std::max(m_state.division(), 1);
    while (m_snode && !m_sstop) {
        const Cmidiev& ev = *m_snode->ev;
        if (ev.kind() == 2) {
            const double wait = (m_sdue - nowus()) / 1000.0;
            if (wait >= 1.0) {
                m_stimer = timeSetEvent(unsigned(wait), [this](unsigned id) { ontimer(id); });
                if (m_stimer) return;
            }
            if (Ctimeline::istempo(ev)) m_stempo = Ctimeline::nexttempo(ev, m_stempo);
            else if (Clyricsstate::islyric(ev) && ev.length() > 0 && ev.data() && ev.data()[0] != 13)
                postmsg(this, WM_SYLLABLE, 0, intptr_t(m_snode));
        }
        const Cnode* next = m_snode->next;
        if (next) m_sdue += Ctimeline::usecs(double(next->ev->time) - ev.time, m_stempo, division);
        m_snode = next;
    }
}

void Clyrics::handle(unsigned msg, uintptr_t, intptr_t lparam)
{
    if (msg != WM_SYLLABLE || !lparam) return;
    m_state.syllable(reinterpret_cast<const Cnode*>(lparam), timeGetTime());
    sync();
}

void Clyrics::tick()
{
    m_state.tick(timeGetTime());
    sync();
}

// Repaints what the last call changed and runs the pause timer while the state wants it.
void Clyrics::sync()
{
    const unsigned dirty = m_state.takedirty();
    for (int i = 0; i < 4; ++i)
        if (dirty & (1u << i)) {
            update(qrect(m_state.slot(i).rect));
            if (m_log) logslot(i);
        }
    if ((dirty & Clyricsstate::BARDIRTY) || m_state.bar()) update(qrect(m_state.barrect()));
    if (m_state.timer() && !m_pausetimer->isActive()) m_pausetimer->start();
    if (!m_state.timer() && m_pausetimer->isActive()) m_pausetimer->stop();
}

// One line per drawing of a slot: where its text runs on the window, the red and the white
// text drawn, and the whole line the slot holds.
void Clyrics::logslot(int i)
{
    const Clyrslot& slot = m_state.slot(i);
    std::string red, white, whole;
    int x0 = -1, x1 = -1;
    const QFontMetrics fm(font());
    for (const Cdrawop& op : m_state.ops(i)) {
        if (!op.text) continue;
        (op.red ? red : white).append(op.chars, size_t(op.count));
        if (x0 < 0) x0 = op.x;
        x1 = op.x + fm.horizontalAdvance(QString::fromLocal8Bit(op.chars, op.count));
    }
    for (const Clyrpiece& p : slot.pieces) whole.append(p.text, size_t(p.count));
    std::fprintf(m_log, "slot %d x %d %d y %d %d red \"%s\" white \"%s\" line \"%s\"\n", i, x0, x1, slot.rect.top,
                 slot.rect.bottom, red.c_str(), white.c_str(), whole.c_str());
    std::fflush(m_log);
}

QFont Clyrics::fitfont(const QString& family, int g)
{
    // A line is g pixels from the top of the tallest letter to the bottom of the lowest
    // descender; a pixel size names the em, which is smaller.
    QFont f(family);
    int px = std::max(g, 1);
    f.setPixelSize(px);
    while (px > 1 && QFontMetrics(f).ascent() + QFontMetrics(f).descent() > g) f.setPixelSize(--px);
    return f;
}

const QFont& Clyrics::font()
{
    if (!m_hasfont) {
        m_font = fitfont("Arial", m_state.lineheight());
        m_hasfont = true;
    }
    return m_font;
}

void Clyrics::resizeEvent(QResizeEvent* e)
{
    m_hasfont = false;   // the font follows the line height
    m_state.layout(width(), height());
    for (int i = 0; i < 4; ++i) m_state.draw(i);
    sync();
    QWidget::resizeEvent(e);
}

void Clyrics::paintEvent(QPaintEvent* e)
{
    QPainter p(this);
    p.fillRect(e->rect(), BACKGROUND);
    p.setFont(font());
    const int ascent = QFontMetrics(font()).ascent();
    for (int i = 0; i < 4; ++i) {
        // Each slot is painted whole and nothing of it reaches past its rectangle, so no
        // update of one slot leaves pixels of an older look in or beside it.
        const QRect slot = qrect(m_state.slot(i).rect);
        if (!e->region().intersects(slot)) continue;
        p.setClipRect(slot);
        p.fillRect(slot, BACKGROUND);
        for (const Cdrawop& op : m_state.ops(i)) {
            if (!op.text) {
                p.fillRect(qrect(op.rect), BACKGROUND);
                continue;
            }
            p.setPen(op.red ? QColor(255, 0, 0) : QColor(255, 255, 255));
            p.drawText(op.x, op.y + ascent, QString::fromLocal8Bit(op.chars, op.count));
        }
        p.setClipping(false);
    }
    if (m_state.bar()) {
        const QRect bar = qrect(m_state.barrect());
        const int red = int(bar.width() * m_state.barfraction(timeGetTime()));
        p.fillRect(QRect(bar.left(), bar.top(), red, bar.height()), QColor(255, 0, 0));
        p.fillRect(QRect(bar.left() + red, bar.top(), bar.width() - red, bar.height()), Qt::white);
    }
}

bool Clyrics::event(QEvent* e)
{
    // Every key asks to close, Tab and the dialog's mnemonics included.
    if (e->type() == QEvent::KeyPress) {
        e->accept();
        postmsg(m_owner, WM_CLOSELYR);
        return true;
    }
    if (e->type() == QEvent::ShortcutOverride) {
        e->accept();
        return true;
    }
    return QWidget::event(e);
}

void Clyrics::mousePressEvent(QMouseEvent*)
{
    if (m_full) postmsg(m_owner, WM_CLOSELYR);
}

void Clyrics::closeEvent(QCloseEvent* e)
{
    // The owner closes this window: it stops playing first.
    e->ignore();
    postmsg(m_owner, WM_CLOSELYR);
}
