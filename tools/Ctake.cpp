#include "tools/Ctake.h"

#include "audio/Cwavfil.h"
#include "platform/Cmsgbox.h"

#include <sys/stat.h>

Ctake::Ctake(const void* boxowner) : m_boxowner(boxowner) {}

Ctake::~Ctake()
{
    end();
}

void Ctake::choose(const std::string& path, const std::string& title)
{
    m_path = path;
    m_title = title;
    m_file = std::make_unique<Cwavfil>(path);
    m_writing = false;
}

bool Ctake::exists() const
{
    struct stat st;
    return ::stat(m_path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

double Ctake::seconds() const
{
    return m_file && m_file->fmt.rate > 0 ? double(m_file->nframes) / m_file->fmt.rate : 0;
}

bool Ctake::recorded() const
{
    const auto it = m_recorded.find(m_path);
    return it != m_recorded.end() && fileid(m_path) == it->second;
}

void Ctake::warn(const char* text, const char* caption, const std::string& path) const
{
    msgbox(text, caption, Boxicon::warning, m_boxowner, path.empty() ? path : filedetail(path));
}

bool Ctake::start(Cwindow* owner, int device, const Cwavfil* playback)
{
    if (!m_file) return false;
    // Recording over the file that is to be played back would destroy it before it is heard.
    if (playback && samefile(m_path, playback->path())) {
        warn("The output file is the WAVE file selected for play-back\nPlease choose another output file and try "
             "again",
             "WAVE file error", m_path);
        return false;
    }
    if (!recorded() && fileid(m_path)) {
        const std::string text = "The output file " + m_title +
                                 " already exists\nand was not recorded since the Recorder was opened\n"
                                 "Do you want to replace it?";
        if (!askreplace(text, "Replace WAVE file", m_boxowner, filedetail(m_path))) return false;
    }
    if (!m_file->openwr(Wmode::inplace)) {
        warn("There was an error while creating the output WAVE file\nPlease check if:\na) Your hard drive is not "
             "full\nb) You have write premission for the file\nc) The file is nor read-only",
             "WAVE file error", m_path);
        return false;
    }
    m_writing = true;
    if (!m_file->openin(owner, device)) {
        finish();
        warn("The Wave input device is not ready. Possible causes:\n1) There is another application using the "
             "device\n2) Your computer doesn't have sound input capabilities",
             "Wave input busy");
        return false;
    }
    return true;
}

void Ctake::store(Wavehdr* block)
{
    if (m_file) m_file->recdata(block);
}

void Ctake::finish()
{
    if (!m_file || !m_writing) return;
    m_writing = false;
    m_file->closewr(false, 0);
    if (const std::optional<Cfileid> id = fileid(m_path)) m_recorded[m_path] = *id;
    if (m_file->failed() != Wverr::none)
        warn("There was an error while writing the output WAVE file\nThe recording is incomplete\nPlease check if "
             "your hard drive is not full and try again",
             "WAVE file error", m_path);
}

void Ctake::end()
{
    if (m_file && m_file->hwi) m_file->closein();
    finish();
}

bool Ctake::play(Cplayeng& eng)
{
    if (!m_file || m_writing) return false;
    const Cplayeng::Start started = eng.playwave(*m_file, 0);
    if (started == Cplayeng::Start::empty)
        warn("The output file is empty\nPlease record into it and try again", "Wave file empty", m_path);
    else if (started == Cplayeng::Start::device)
        eng.warnstart(started, Cplayeng::Kind::wave, true);
    else if (started != Cplayeng::Start::ok)
        warn("The output file appears to be corrupt\nPlease check the file and try again", "Invalid Wave file");
    return started == Cplayeng::Start::ok;
}

bool Ctake::close(Ccontext& ctx, bool handover)
{
    finish();
    if (!handover) {
        m_file.reset();
        return false;
    }
    if (!m_file || !exists()) return false;
    ctx.setwave(std::move(m_file), m_path);
    return true;
}
