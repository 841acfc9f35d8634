#include "midi/Cmidprops.h"

#include "midi/Cmidfil.h"
#include "midi/Ctimeline.h"

namespace {
std::string text(const Cmidiev& ev, size_t from, size_t most)
{
    const size_t len = size_t(ev.length());
    if (!ev.data() || len <= from) return "";
    const size_t n = len - from < most ? len - from : most;
    return std::string(reinterpret_cast<const char*>(ev.data()) + from, n);
}
}

void Cmidprops::scan(const Cmidfil& file)
{
    *this = Cmidprops();
    std::string lyrics[3];
    int ntitles = 0, nlyrics = 0;
    for (int i = 0; i < file.ntrks; ++i) {
        const Ctrack* tr = file.track(i);
        if (!tr) continue;
        for (const Cmidiev* ev = tr->first; ev; ev = ev->next) {
            if (ev->kind() != 2 || ev->length() <= 0 || !ev->data()) continue;
            const int type = ev->metatype();
            if (type == 2) {
                copyright = text(*ev, 0, MAXTEXT);
            } else if (type == 1 && ev->data()[0] == '@') {
                if (ev->length() < 2) continue;
                const std::string value = text(*ev, 2, MAXTEXT);
                switch (ev->data()[1]) {
                case 'K': filetype = value; break;
                case 'V': version = value; break;
                case 'I': information = value; break;
                case 'L': language = value; break;
                case 'T':
                    if (ntitles < 3) titles[ntitles++] = value;
                    break;
                default: break;
                }
            } else if (type == 5 && nlyrics < 3) {
                const std::string line = text(*ev, 0, MAXTEXT);
                if (line.size() > 7) lyrics[nlyrics++] = line;
            }
        }
    }
    seconds = medialength(file);
    if (ntitles == 0 && nlyrics > 0)
        for (int k = 0; k < 3; ++k) titles[k] = lyrics[k];
}
