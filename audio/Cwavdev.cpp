// The device side of Cwavfil: playing the open file through the wave output device and recording
// the wave input device into the file, through the two one-second data blocks of hdr. Everything
// here runs on the user-interface thread, driven by the device messages; the device's own thread
// touches a block only while its header is not marked done.
#include "audio/Cwavfil.h"

#include <algorithm>
#include <unistd.h>

namespace {

// Reads exactly n bytes unless the file ends or fails first.
bool readall(int fd, uint8_t* dest, size_t n)
{
    while (n > 0) {
        const ssize_t r = ::read(fd, dest, n);
        if (r <= 0) return false;
        dest += r;
        n -= size_t(r);
    }
    return true;
}

Waveformat devformat(const Wavfmt& f)
{
    return Waveformat{f.rate, f.channels, f.bits};
}

// Gives both headers a fresh data block of one second and marks them free.
void newblocks(Wavehdr* hdr)
{
    for (int i = 0; i < 2; ++i) {
        hdr[i].clear();
        hdr[i].data = std::make_unique<uint8_t[]>(Cwavfil::BUFBYTES);
        hdr[i].buflen = Cwavfil::BUFBYTES;
        hdr[i].flags.store(WHDR_DONE, std::memory_order_release);
    }
}

}  // namespace

bool Cwavfil::openout(Cwindow* window, int device)
{
    Cwavesys* sys = wavesys();
    if (hwo || !sys) return false;
    // The device plays at the file's own rate, as openrd read it into fmt.
    hwo = sys->openout(device, devformat(fmt), window);
    if (!hwo) return false;
    newblocks(hdr);
    return true;
}

bool Cwavfil::playbuf(Wavehdr* h)
{
    if (!h || !hwo || !h->data || frpos >= nframes) return false;
    const size_t n = std::min<size_t>(size_t(nframes - frpos) * 4, BUFBYTES);
    if (!readall(fd, h->data.get(), n)) return false;
    h->buflen = uint32_t(n);
    if (!hwo->write(*h)) return false;
    frpos += int32_t(n / 4);
    return true;
}

void Cwavfil::refill()
{
    for (Wavehdr& h : hdr)
        if (h.done()) playbuf(&h);
}

bool Cwavfil::outdone() const
{
    return hdr[0].done() && hdr[1].done();
}

uint8_t* Cwavfil::freebuf()
{
    for (Wavehdr& h : hdr)
        if (h.done() && h.data) return h.data.get();
    return nullptr;
}

bool Cwavfil::sendbuf(const uint8_t* block)
{
    Wavehdr& h = block == hdr[0].data.get() ? hdr[0] : hdr[1];
    if (!hwo || !h.data || h.data.get() != block) return false;
    h.buflen = BUFBYTES;
    return hwo->write(h);
}

void Cwavfil::closeout()
{
    if (!hwo) return;
    hwo->close();   // queued blocks come back (MM_WOM_DONE), then MM_WOM_CLOSE
    for (Wavehdr& h : hdr) h.clear();
    hwo.reset();
}

bool Cwavfil::openin(Cwindow* window, int device)
{
    Cwavesys* sys = wavesys();
    if (hwi || !sys) return false;
    setformat();
    hwi = sys->openin(device, devformat(fmt), window);
    if (!hwi) return false;
    newblocks(hdr);
    const bool ok = hwi->add(hdr[0]) && hwi->add(hdr[1]) && hwi->start();
    if (!ok) closein();
    return ok;
}

bool Cwavfil::recdata(Wavehdr* h)
{
    if (!h) return false;
    const uint32_t frames = fmt.align ? h->recorded / fmt.align : 0;
    if (frames > 0 && h->data) wrblock(h->data.get(), int(frames * fmt.align));
    h->recorded = 0;   // stored: closein must not write it again
    if (!hwi || !h->data || !h->done()) return false;
    return hwi->add(*h);
}

bool Cwavfil::closein()
{
    if (!hwi) return false;
    hwi->reset();
    // Everything recorded is kept: blocks the device returned whose MM_WIM_DATA has not been
    // handled yet, then the partly filled block the reset gave back, in the order recorded. The
    // MM_WIM_DATA messages still queued then find empty headers and store nothing.
    Wavehdr* order[2] = {&hdr[0], &hdr[1]};
    if (order[1]->order < order[0]->order) std::swap(order[0], order[1]);
    for (Wavehdr* h : order) {
        const uint32_t frames = fmt.align ? h->recorded / fmt.align : 0;
        if (!h->done() || frames == 0) continue;
        wrblock(h->data.get(), int(frames * fmt.align));
        h->recorded = 0;
    }
    hwi->close();
    for (Wavehdr& h : hdr) h.clear();
    hwi.reset();
    return true;
}
