#include "app/dialogs/Cpropdialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "midi/Cmidprops.h"

#include <sys/stat.h>

const char* Cpropdialog::TITLE = "Cantorix - File Properties";

namespace {

constexpr int MAXTEXT = 259;
constexpr int LABELWIDTH = 100;

struct Fieldrow {
    int id;
    const char* label;
};

}

Cpropdialog::Cpropdialog(Ccontext& ctx, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(TITLE);
    auto* outer = new QVBoxLayout(this);
    auto group = [&](const char* title, std::initializer_list<Fieldrow> rows) {
        auto* box = new QGroupBox(title, this);
        auto* form = new QFormLayout(box);
        form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
        for (const Fieldrow& r : rows) {
            auto* e = new QLineEdit(box);
            e->setReadOnly(true);
            e->setMaxLength(MAXTEXT);
            e->setMinimumWidth(360);
            m_fields[r.id] = e;
            auto* label = new QLabel(r.label, box);
            label->setMinimumWidth(LABELWIDTH);   // both groups line their fields up
            form->addRow(label, e);
        }
        outer->addWidget(box);
    };
    group("MIDI/Karaoke file", {{MIDIFILE, "File:"}, {MIDILEN, "Media length:"}, {COPYRIGHT, "Copyright:"},
                                {FILETYPE, "FileType:"}, {VERSION, "Version:"}, {INFO, "Information:"},
                                {LANGUAGE, "Language:"}, {TITLE1, "Title 1:"}, {TITLE2, "Title 2:"},
                                {TITLE3, "Title 3:"}});
    group("WAVE file", {{WAVEFILE, "File:"}, {WAVELEN, "Media length:"}, {WAVEFMT, "Audio Format:"}});

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* close = buttons->addButton("&Close", QDialogButtonBox::AcceptRole);
    close->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    outer->addStretch(1);   // extra height goes below the groups, not into them
    outer->addWidget(buttons);

    showmidi(ctx);
    showwave(ctx);
}

QString Cpropdialog::text(Field f) const
{
    return m_fields.at(f)->text();
}

QString Cpropdialog::minsec(double seconds)
{
    const unsigned s = seconds > 0 && seconds < 4e9 ? unsigned(seconds) : 0;
    return QString::asprintf("%02u:%02u", s / 60, s % 60);
}

void Cpropdialog::set(Field f, const std::string& s)
{
    m_fields.at(f)->setText(QString::fromLocal8Bit(s.data(), qsizetype(std::min<size_t>(s.size(), MAXTEXT))));
}

void Cpropdialog::showmidi(Ccontext& ctx)
{
    if (!ctx.midi) return;
    set(MIDIFILE, ctx.midipath);
    Cmidprops props;
    props.scan(*ctx.midi);
    m_fields.at(MIDILEN)->setText(minsec(props.seconds));
    set(COPYRIGHT, props.copyright);
    set(FILETYPE, props.filetype);
    set(VERSION, props.version);
    set(INFO, props.information);
    set(LANGUAGE, props.language);
    set(TITLE1, props.titles[0]);
    set(TITLE2, props.titles[1]);
    set(TITLE3, props.titles[2]);
}

void Cpropdialog::showwave(Ccontext& ctx)
{
    struct stat st;
    if (!ctx.wave || ::stat(ctx.wavepath.c_str(), &st) != 0) return;
    set(WAVEFILE, ctx.wavepath);
    // duration() reads the header (showing the reader's box for a file it cannot take) and
    // leaves the format record as it found it.
    const double usec = ctx.wave->duration();
    m_fields.at(WAVELEN)->setText(minsec(usec * 0.000001));
    const Wavfmt& f = ctx.wave->fmt;
    m_fields.at(WAVEFMT)->setText(QString::asprintf("PCM, %u Sps, %u bits, %s", unsigned(f.rate), unsigned(f.bits),
                                                    f.channels > 1 ? "Stereo" : "Mono"));
}
