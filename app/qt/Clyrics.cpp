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

Clyrics::Clyrics(Cwindow* owner, const std::string& filename, const Cnode* first, int division, double startus,
                 bool selftimed, bool fullscreen)
    : QWidget(nullptr, fullscreen ? Qt::Window | Qt::FramelessWindowHint : Qt::Tool), m_owner(owner), m_full(fullscreen)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    const QRect screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->geometry()
                                                         : QRect(0, 0, 1024, 768);
    if (fullscreen) {
        setWindowTitle(TITLE);
        setCursor(Qt::BlankCursor);
        setGeometry(screen);
    } else {
        setWindowTitle(QString(TITLEFOR) + QString::fromLocal8Bit(filename.c_str()));
        const QSize half(screen.width() / 2, screen.height() / 2);
        resize(half);
        move(screen.center() - QPoint(half.width() / 2, half.height() / 2));
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
}

Clyrics::~Clyrics()
{
    stopschedule();
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
        if (dirty & (1u << i)) update(qrect(m_state.slot(i).rect));
    if ((dirty & Clyricsstate::BARDIRTY) || m_state.bar()) update(qrect(m_state.barrect()));
    if (m_state.timer() && !m_pausetimer->isActive()) m_pausetimer->start();
    if (!m_state.timer() && m_pausetimer->isActive()) m_pausetimer->stop();
}

const QFont& Clyrics::font()
{
    if (!m_hasfont) {
        m_font = QFont("Arial");
        m_font.setPixelSize(std::max(m_state.lineheight(), 1));
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
        if (!e->region().intersects(qrect(m_state.slot(i).rect))) continue;
        for (const Cdrawop& op : m_state.ops(i)) {
            if (!op.text) {
                p.fillRect(qrect(op.rect), BACKGROUND);
                continue;
            }
            p.setPen(op.red ? QColor(255, 0, 0) : QColor(255, 255, 255));
            p.drawText(op.x, op.y + ascent, QString::fromLocal8Bit(op.chars, op.count));
        }
    }
    if (m_state.bar()) {
        const QRect bar = qrect(m_state.barrect());
        const int red = int(bar.width() * m_state.barfraction(timeGetTime()));
        p.fillRect(QRect(bar.left(), bar.top(), red, bar.height()), QColor(255, 0, 0));
        p.fillRect(QRect(bar.left() + red, bar.top(), bar.width() - red, bar.height()), Qt::white);
    }
}

void Clyrics::keyPressEvent(QKeyEvent*)
{
    postmsg(m_owner, WM_CLOSELYR);
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
