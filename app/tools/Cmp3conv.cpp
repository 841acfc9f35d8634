#include "app/tools/Cmp3conv.h"
#include "app/qt/Cqtface.h"

#include "platform/Cmsgbox.h"
#include "platform/Cshell.h"
#include "tools/Cmp3codec.h"
#include "app/qt/Cdrop.h"
#include "app/qt/Chelpview.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>

const char* Cmp3conv::TITLE = "Cantorix - MP3 converter";
const char* Cmp3conv::FILTER =
    "WAVE & MP3 Files (*.wav;*.mp3)|*.wav;*.mp3|WAVE Files (*.wav)|*.wav|MP3 Files (*.mp3)|*.mp3|All Files (*.*)|*.*||";
const char* Cmp3conv::CODEC = "MP3Codec.exe";

namespace {

bool isfile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Minutes and seconds of a time in microseconds, each truncated to whole seconds.
std::string minsec(double usec)
{
    const unsigned sec = usec > 0 ? unsigned(usec / 1000000.0) : 0;
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u", sec / 60, sec % 60);
    return text;
}

}  // namespace

Cmp3conv::Cmp3conv(Ccontext& ctx, Cwindow* mainwin, QWidget* parent)
    : QDialog(parent), m_ctx(ctx), m_mainwin(mainwin)
{
    setWindowTitle(TITLE);
    auto* outer = new QVBoxLayout(this);

    auto* files = new QGroupBox("Files", this);
    auto* grid = new QGridLayout(files);
    m_inedit = new QLineEdit(files);
    m_inedit->setReadOnly(true);
    m_inedit->setMinimumWidth(300);
    m_inbrowse = new QPushButton("&Browse", files);
    m_outedit = new QLineEdit(files);
    m_outedit->setReadOnly(true);
    m_outbrowse = new QPushButton("Br&owse", files);
    grid->addWidget(new QLabel("Input:", files), 0, 0);
    grid->addWidget(m_inedit, 0, 1);
    grid->addWidget(m_inbrowse, 0, 2);
    grid->addWidget(new QLabel("Output:", files), 1, 0);
    grid->addWidget(m_outedit, 1, 1);
    grid->addWidget(m_outbrowse, 1, 2);
    grid->setColumnStretch(1, 1);
    outer->addWidget(files);

    m_progress = new QProgressBar(this);
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_progress->setTextVisible(false);
    outer->addWidget(m_progress);

    auto* actions = new QHBoxLayout;
    m_convert = new QPushButton("&Convert", this);
    m_abort = new QPushButton("&Abort", this);
    m_play = new QPushButton("&Play", this);
    actions->addWidget(m_convert);
    actions->addWidget(m_abort);
    actions->addWidget(m_play);
    outer->addLayout(actions);

    m_status = new QLabel(this);
    m_status->setAlignment(Qt::AlignCenter);
    m_status->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_status->setMinimumHeight(m_status->fontMetrics().height() + 6);
    outer->addWidget(m_status);

    auto* bottom = new QHBoxLayout;
    m_help = Chelpview::button(this, "Hlpmp3cv.htm", m_ctx.settings.progdir);
    m_close = new QPushButton("&Close", this);
    m_close->setDefault(true);
    for (QPushButton* b : {m_inbrowse, m_outbrowse, m_convert, m_abort, m_play, m_help, m_close}) b->setAutoDefault(false);
    m_close->setAutoDefault(true);
    bottom->addWidget(m_help);
    bottom->addStretch(1);
    bottom->addWidget(m_close);
    outer->addLayout(bottom);

    connect(m_inbrowse, &QPushButton::clicked, this, [this] { browse(true); });
    connect(m_outbrowse, &QPushButton::clicked, this, [this] { browse(false); });
    connect(m_convert, &QPushButton::clicked, this, &Cmp3conv::convert);
    connect(m_abort, &QPushButton::clicked, this, &Cmp3conv::abortrun);
    connect(m_play, &QPushButton::clicked, this, &Cmp3conv::play);
    connect(m_close, &QPushButton::clicked, this, &Cmp3conv::accept);

    rules();
    new Cdrop(this, [this](const QStringList& paths) { dropfiles(paths); });
}

Cmp3conv::~Cmp3conv()
{
    m_closing = true;
    shutdown();
}

QString Cmp3conv::status() const { return m_status->text(); }
int Cmp3conv::progress() const { return m_progress->value(); }

void Cmp3conv::rules()
{
    const bool idle = m_state == NOFILES || m_state == READY;
    // A new run waits until the previous runner has reported its end, even after Abort.
    m_convert->setEnabled(m_state == READY && !m_runner);
    m_abort->setEnabled(!idle);
    m_play->setEnabled(m_state == READY && (m_types & (OUTWAV | OUTMP3)) && isfile(m_outpath));
    m_inbrowse->setEnabled(idle);
    m_outbrowse->setEnabled(idle);
    m_help->setEnabled(idle);
    if (m_state == READY) m_convert->setFocus();
    if (!idle) m_abort->setFocus();
}

void Cmp3conv::clearprogress()
{
    m_status->clear();
    m_progress->setValue(0);
}

void Cmp3conv::take(bool input, const std::string& path, const std::string& name, int type)
{
    if (input) {
        m_inpath = path;
        m_inname = name;
        m_inedit->setText(qs(path));
        m_types = (m_types & (OUTWAV | OUTMP3)) | type;
    } else {
        m_outpath = path;
        m_outname = name;
        m_outedit->setText(qs(path));
        m_types = (m_types & (INWAV | INMP3)) | type;
    }
    const bool pair = (m_types & (INWAV | INMP3)) && (m_types & (OUTWAV | OUTMP3));
    m_state = pair ? READY : NOFILES;
    rules();
}

void Cmp3conv::browse(bool input)
{
    Cfilereq req;
    req.filter = FILTER;
    req.startdir = m_ctx.settings.workdir;
    req.anyname = !input;   // the output file is usually a new one
    req.owner = this;
    const std::optional<Cfilepick> pick = shell().openfile(req);
    if (!pick) return;
    clearprogress();
    const std::string ext = lowercase(pick->ext);
    int type = 0;
    if (ext == "wav") type = input ? INWAV : OUTWAV;
    if (ext == "mp3") type = input ? INMP3 : OUTMP3;
    if (!type) {
        msgbox("You must select a WAVE or MP3 file\nPlease choose another file and try again", "Invalid file type",
               Boxicon::warning, this, filedetail(pick->path));
        return;
    }
    take(input, pick->path, pick->title, type);
}

void Cmp3conv::dropfiles(const QStringList& paths)
{
    // While converting, the files of the run stay as they are (Abort must stay reachable and the
    // result must stay the file the codec writes); while playing, drops are off altogether.
    if (m_state == CONVERTING || m_state == PLAYING) return;
    const std::optional<Cdropped> drop = droppedfile(paths);
    if (!drop) return;
    const std::string& path = drop->path;
    const std::string& ext = drop->ext;
    const std::string& name = drop->title;
    const int in = m_types & (INWAV | INMP3);
    const int out = m_types & (OUTWAV | OUTMP3);
    if (ext == ".wav") {
        clearprogress();
        if (in == INWAV || (!in && out != OUTWAV))
            take(true, path, name, INWAV);
        else
            take(false, path, name, OUTWAV);
    } else if (ext == ".mp3") {
        clearprogress();
        if (in == INMP3 || (!in && out != OUTMP3))
            take(true, path, name, INMP3);
        else
            take(false, path, name, OUTMP3);
    }
}


void Cmp3conv::convert()
{
    if (m_runner || m_state != READY) return;
    const int in = m_types & (INWAV | INMP3);
    const int out = m_types & (OUTWAV | OUTMP3);
    const bool encode = in == INWAV && out == OUTMP3;
    const bool decode = in == INMP3 && out == OUTWAV;
    if (!encode && !decode) {
        msgbox("You must choose input file WAVE and output file MP3 or\ninput file MP3 and output file WAVE\n",
               "Invalid file type", Boxicon::warning, this);
        return;
    }
    if (!isfile(m_inpath)) {
        msgbox("The input file does not exist", "File doesn't exist", Boxicon::warning, this, filedetail(m_inpath));
        return;
    }
    m_out = std::make_unique<Cmp3out>();
    if (!m_out->begin(m_inpath, m_outpath)) {
        m_out.reset();
        msgbox("The output file can not be written, or it is the input file\nPlease choose another output file and "
               "try again",
               "Invalid file type", Boxicon::warning, this, filedetail(m_outpath));
        return;
    }
    const std::string program = m_ctx.settings.progdir + "/" + CODEC + " ";
    // Both notifications run on the runner's worker. The runner outlives every notification of
    // its run (it is destroyed only when WM_CODECEND is handled), so the output handler may
    // read from it; which pattern to look for is fixed for the run.
    m_runner = std::make_unique<Cconsole>(
        program, [this] { sendmsg(this, WM_CODECEND); },
        [this, decode](int) {
            Cconsole* runner = m_runner.get();
            Cmp3codec::Update u =
                Cmp3codec::drain([runner](char* dest, int n) { return runner->readout(dest, n); }, decode);
            if (!u.empty()) sendmsg(this, WM_CODECOUT, 0, reinterpret_cast<intptr_t>(&u));
        });
    m_runner->start(Cmp3codec::arguments(m_inpath, m_out->path(), decode));
    m_state = CONVERTING;
    rules();
}

void Cmp3conv::abortrun()
{
    if (m_state == CONVERTING && m_runner)
        m_runner->abort();
    else if (m_state == PLAYING)
        stopplay();
    else
        return;
    m_state = READY;
    rules();
}

void Cmp3conv::finished()
{
    if (m_runner && !m_runner->started())
        msgbox("There was an error while converting\nPlease make sure that the input file\nis valid and try again",
               "Conversion error", Boxicon::error, this, filedetail(m_inpath));
    // The result takes the output's name only after a run that ended well.
    if (m_out) m_out->end(m_runner && m_runner->started() && m_state == CONVERTING && m_runner->exitcode() == 0);
    m_out.reset();
    m_runner.reset();
    if (m_state == CONVERTING) m_state = READY;
    if (m_wait) m_wait->quit();
    if (!m_closing) rules();
}

void Cmp3conv::play()
{
    if (m_state != READY) return;
    const int out = m_types & (OUTWAV | OUTMP3);
    if (out == OUTMP3) {
        clearprogress();
        if (!shell().openpath(m_outpath, m_ctx.settings.workdir, this))
            msgbox("The desktop has no program that plays MP3 files\nPlease open the file with an MP3 player",
                   "Couldn't play the MP3 file", Boxicon::warning, this, filedetail(m_outpath));
        return;
    }
    if (out != OUTWAV) return;
    m_player.reset();
    auto player = std::make_unique<Cwavfil>(m_outpath);
    if (!player->openrd()) {
        msgbox("The WAVE file selected appears to be corrupt\nPlease CONVERT the MP3 file again", "Invalid Wave file",
               Boxicon::warning, this, filedetail(m_outpath));
        return;
    }
    if (player->nframes <= 0) {
        player->close();
        msgbox("The WAVE file selected is empty\nPlease CONVERT the MP3 file again", "Wave file empty",
               Boxicon::warning, this, filedetail(m_outpath));
        return;
    }
    m_playusec = player->fmt.rate ? double(player->nframes) * 1000000.0 / player->fmt.rate : 0;
    m_player = std::move(player);
    if (!m_player->openout(this, m_ctx.settings.waveout)) {
        m_player->close();
        m_player.reset();
        msgbox("The Wave output device is not ready. Possible causes:\n1) There is another application using the "
               "device\n2) Your computer doesn't have sound output capabilities",
               "Wave output busy", Boxicon::warning, this);
        return;
    }
    m_state = PLAYING;
    rules();
    setAcceptDrops(false);
}

void Cmp3conv::stopplay()
{
    if (!m_player) return;
    m_player->closeout();
    m_player->close();
    m_player.reset();
    setAcceptDrops(true);
}

void Cmp3conv::playdone()
{
    Cwavfil& p = *m_player;
    const double pos = p.fmt.rate ? double(p.frpos) * 1000000.0 / p.fmt.rate : 0;
    m_progress->setValue(m_playusec > 0 ? std::clamp(int(pos * 100 / m_playusec), 0, 100) : 100);
    p.refill();
    if (p.outdone()) {
        stopplay();
        m_state = READY;
        rules();
        return;
    }
    m_status->setText(qs(minsec(pos) + " / " + minsec(m_playusec)));
}

void Cmp3conv::handle(unsigned msg, uintptr_t, intptr_t lparam)
{
    switch (msg) {
    case WM_CODECOUT: {
        const auto* u = reinterpret_cast<const Cmp3codec::Update*>(lparam);
        if (u->progress >= 0) m_progress->setValue(u->progress);
        if (u->hasstatus) m_status->setText(qs(u->status));
        break;
    }
    case WM_CODECEND: finished(); break;
    case MM_WOM_OPEN:
        if (m_player) m_player->refill();
        break;
    case MM_WOM_DONE:
        if (m_player) playdone();
        break;
    default: break;
    }
}

void Cmp3conv::shutdown()
{
    if (m_wait) return;   // already waiting
    if (m_runner) {
        m_closing = true;
        m_runner->abort();
        // The worker ends within one polling period and sends WM_CODECEND; its messages (and a
        // box it may raise) need the event loop meanwhile.
        setEnabled(false);
        QEventLoop loop;
        m_wait = &loop;
        if (m_runner) loop.exec();
        m_wait = nullptr;
        setEnabled(true);
    }
    stopplay();
}

void Cmp3conv::handover()
{
    if (!(m_types & OUTWAV) || !isfile(m_outpath)) return;
    m_ctx.setwave(m_outpath);
    if (m_mainwin) sendmsg(m_mainwin, WM_REFRESH);
}

void Cmp3conv::accept()
{
    if (m_wait) return;
    shutdown();
    handover();
    QDialog::accept();
}

void Cmp3conv::reject()
{
    if (m_wait) return;
    shutdown();
    QDialog::reject();
}
