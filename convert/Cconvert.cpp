#include "convert/Cconvert.h"

#include "convert/Ccontext.h"
#include "platform/Cmsgbox.h"

#include <cstdio>
#include <unistd.h>

Cconvert::Cconvert(Ccontext& ctx) : m_ctx(ctx), m_seq(ctx)
{
    m_seq.setwindow(this);
}

Cconvert::~Cconvert()
{
    if (m_thread.joinable()) {
        m_ctx.abort.store(true, std::memory_order_relaxed);
        // The thread's last messages are sent to this object; they must be handled for it to
        // return, and nothing else may touch the output any more.
        skipchecks = true;
        onprogress = nullptr;
        onfinish = nullptr;
        m_thread.join();
    }
}

bool Cconvert::loadbank()
{
    return m_ctx.loadbank(boxowner());
}

bool Cconvert::start()
{
    if (m_running || !m_ctx.midi || !m_ctx.wave) return false;
    join();
    if (!loadbank()) return false;
    const std::string& out = m_ctx.wave->path();
    if (samefile(out, m_ctx.midi->path()) || samefile(out, m_ctx.bank->path())) {
        msgbox(restext::SAMEFILE, restext::CREATECAP, Boxicon::warning, boxowner(), filedetail(out));
        return false;
    }
    if (!m_ctx.wave->openwr()) {
        msgbox(restext::CREATE, restext::CREATECAP, Boxicon::warning, boxowner(),
               filedetail(out, m_ctx.wave->syserr()));
        return false;
    }
    m_ctx.abort.store(false, std::memory_order_relaxed);
    m_result = Cresult{};
    m_running = true;
    m_thread = std::thread(renderthread, &m_seq);
    return true;
}

void Cconvert::abort()
{
    if (m_running) m_ctx.abort.store(true, std::memory_order_relaxed);
}

void Cconvert::join()
{
    if (m_thread.joinable()) m_thread.join();
}

void Cconvert::handle(unsigned msg, uintptr_t, intptr_t lparam)
{
    if (msg == WM_PROGRESS) {
        if (m_running && onprogress) onprogress(int(lparam));
        return;
    }
    if (msg != WM_RENDERED || !m_running) return;
    m_ctx.effects.setoutput(nullptr);
    Cwavfil& wave = *m_ctx.wave;
    wave.finish(false, 0);
    m_running = false;
    const bool failed = wave.failed() != Wverr::none;
    const bool aborted = !failed && m_ctx.abort.load(std::memory_order_relaxed);
    m_result = Cresult{};
    if (aborted && !keepaborted) {
        wave.discard();
    } else if (!skipchecks || failed) {
        // The checks show the boxes; normalization scales the file before it takes its name.
        m_result = checkresult(wave, Csettings::get(m_ctx.settings.normalize), boxowner());
    } else if (wave.peak <= 0) {
        m_result.kind = Rescheck::empty;   // no boxes while the dialog closes, and nothing kept
    }
    m_result.capped = m_result.written() && !aborted && m_seq.capped();
    // The result checks run on the temporary file: only a good result takes the WAVE name, so
    // an empty or cut-short conversion leaves the earlier file as it was.
    const bool good = m_result.kind != Rescheck::failed && m_result.kind != Rescheck::normfailed &&
                      m_result.kind != Rescheck::empty && !m_result.capped;
    m_result.aborted = aborted;
    if (good && !(aborted && !keepaborted)) {
        // Where an aborted file is not kept, an abort that came while the checks ran (a signal to
        // the command-line tool) is checked again at the rename, with the signals held back.
        if (wave.commit(keepaborted ? nullptr : &m_ctx.abort)) {
            m_result.replaced = true;
            // The file under the WAVE name is now this song's own, until something else writes it.
            m_ctx.markmade();
        } else if (wave.failed() == Wverr::none) {
            m_result.aborted = true;
        } else {
            m_result.kind = Rescheck::failed;
            msgbox(restext::CREATE, restext::CREATECAP, Boxicon::warning, boxowner(),
                   filedetail(wave.path(), wave.syserr()));
        }
    }
    wave.discard();
    if (m_result.capped && !skipchecks)
        msgbox(restext::CAPPED, restext::CAPPEDCAP, Boxicon::warning, boxowner(), filedetail(wave.path()));
    if (onfinish) onfinish(m_result);
}

std::string Cconvert::timetext() const
{
    return ::timetext(m_seq.elapsed(), m_seq.total());
}
