// cantorix-cli dump FILE: the events of a MIDI file as JSON lines, tracks in order, events in
// file order, exactly as the reader keeps them.
#include "cli/Ccommand.h"
#include "midi/Cmidfil.h"
#include "midi/Csysexev.h"

#include <cstdio>
#include <string>

namespace {

void hex(std::string& out, const uint8_t* p, int32_t n)
{
    static const char DIGITS[] = "0123456789abcdef";
    for (int32_t i = 0; p && i < n; ++i) {
        out += DIGITS[p[i] >> 4];
        out += DIGITS[p[i] & 15];
    }
}

}  // namespace

int cmddump(const Args& args)
{
    if (wantshelp(args) || args.size() != 1) {
        std::fprintf(args.size() == 1 ? stdout : stderr,
                     "usage: cantorix-cli dump FILE\n\n"
                     "Prints the header of the MIDI or karaoke file FILE as one JSON object, then one object\n"
                     "per event, tracks in order and events in file order:\n"
                     "  {\"track\":T,\"tick\":K,\"kind\":\"channel\",\"status\":S,\"data1\":A,\"data2\":B}\n"
                     "  {\"track\":T,\"tick\":K,\"kind\":\"sysex\",\"status\":240|247,\"length\":L,\"data\":\"HEX\"}\n"
                     "  {\"track\":T,\"tick\":K,\"kind\":\"meta\",\"type\":Y,\"length\":L,\"data\":\"HEX\"}\n"
                     "Ticks are absolute; HEX is the data bytes as they follow the length in the file.\n"
                     "Exits 1 when the file cannot be read.\n");
        return wantshelp(args) ? 0 : 2;
    }
    Cmidfil file(args[0]);
    if (!file.rdmidi()) return 1;
    std::printf("{\"format\":%u,\"ntrks\":%u,\"division\":%u}\n", file.format, file.ntrks, file.division);
    std::string line;
    for (int t = 0; t < file.ntrks; ++t) {
        const Ctrack* tr = file.track(t);
        for (const Cmidiev* ev = tr ? tr->first : nullptr; ev; ev = ev->next) {
            char head[160];
            std::snprintf(head, sizeof head, "{\"track\":%d,\"tick\":%d,", t, int(ev->time));
            line = head;
            char body[160];
            switch (ev->kind()) {
            case 0:
                std::snprintf(body, sizeof body, "\"kind\":\"channel\",\"status\":%d,\"data1\":%d,\"data2\":%d}",
                              ev->status(), ev->data1(), ev->data2());
                line += body;
                break;
            case 1:
                // The buffer starts with the status byte; the file's data follow it.
                std::snprintf(body, sizeof body, "\"kind\":\"sysex\",\"status\":%d,\"length\":%d,\"data\":\"",
                              static_cast<const Csysexev*>(ev)->sysstatus(), int(ev->length()));
                line += body;
                if (ev->data()) hex(line, ev->data() + 1, ev->length());
                line += "\"}";
                break;
            default:
                std::snprintf(body, sizeof body, "\"kind\":\"meta\",\"type\":%d,\"length\":%d,\"data\":\"",
                              ev->metatype(), int(ev->length()));
                line += body;
                hex(line, ev->data(), ev->length());
                line += "\"}";
                break;
            }
            line += '\n';
            std::fwrite(line.data(), 1, line.size(), stdout);
        }
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
