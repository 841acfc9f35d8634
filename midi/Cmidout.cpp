// The MIDI output device of Cmidfil: events go to a MIDI output port, or to the built-in
// synthesizer, as they come out of the player's timeline. Both take a message at once, so a
// system exclusive message is done as soon as it has been sent and MM_MOM_DONE is posted right
// away.
#include "midi/Cmidfil.h"
#include "midi/Midicodes.h"

#include "platform/Cwindow.h"

bool Cmidfil::open(Cwindow* window, int device)
{
    Cmidisys* sys = midisys();
    if (hmo || !sys) return false;
    return open(window, sys->open(device));
}

bool Cmidfil::open(Cwindow* window, std::unique_ptr<Cmidiport> port)
{
    if (hmo || !port) return false;
    hmo = std::move(port);
    mohdr = Midihdr{};
    mowin = window;
    postmsg(mowin, MM_MOM_OPEN);
    return true;
}

void Cmidfil::close() { detach(); }

std::unique_ptr<Cmidiport> Cmidfil::detach()
{
    if (!hmo) return nullptr;
    mohdr = Midihdr{};
    std::unique_ptr<Cmidiport> port = std::move(hmo);
    postmsg(mowin, MM_MOM_CLOSE);
    mowin = nullptr;
    return port;
}

void Cmidfil::sendshort(const Cmidiev* ev)
{
    if (!hmo || !ev) return;
    const uint8_t msg[3] = {uint8_t(ev->status()), uint8_t(ev->data1()), uint8_t(ev->data2())};
    hmo->send(msg, shortlength(msg[0]));
}

void Cmidfil::sendmsg(uint8_t status, uint8_t data1, uint8_t data2)
{
    if (!hmo) return;
    const uint8_t msg[3] = {status, data1, data2};
    hmo->send(msg, shortlength(status));
}

void Cmidfil::sendlong(const Cmidiev* ev)
{
    if (!hmo || !ev) return;
    // The event's buffer is its status byte (0xF0 or 0xF7) followed by the bytes stored after
    // the length in the file; an empty message has no buffer and sends nothing.
    mohdr.data = ev->data();
    mohdr.length = ev->length() >= 0 ? uint32_t(ev->length()) + 1 : 0;
    if (mohdr.data) hmo->send(mohdr.data, mohdr.length);
    postmsg(mowin, MM_MOM_DONE, 0, intptr_t(&mohdr));
}

void Cmidfil::release()
{
    mohdr = Midihdr{};
}

void Cmidfil::notesoff()
{
    if (!hmo) return;
    for (uint8_t ch = 0; ch < 16; ++ch) {
        const uint8_t status = uint8_t(midicmd::control << 4 | ch);
        const uint8_t notes[3] = {status, midictl::allnotesoff, 0};
        const uint8_t sound[3] = {status, midictl::allsoundoff, 0};
        hmo->send(notes, 3);
        hmo->send(sound, 3);
    }
}
