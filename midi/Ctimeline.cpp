#include "midi/Ctimeline.h"

#include "midi/Cmidfil.h"

Ctimeline::~Ctimeline()
{
    clear();
}

void Ctimeline::clear()
{
    for (Cnode* n = first; n;) {
        Cnode* next = n->next;
        delete n;
        n = next;
    }
    first = last = hint = nullptr;
}

void Ctimeline::insert(Cmidiev* ev)
{
    auto* node = new Cnode(ev);
    const int32_t t = ev->time;
    if (!first) {
        first = last = node;
    } else if (t < first->ev->time) {
        node->next = first;
        first = node;
    } else if (t >= last->ev->time) {
        last->next = node;
        last = node;
    } else {
        // first <= t < last: walk from the hint when it lies at or before t, past every node at
        // or below t; the walk stops before last because last is above t.
        Cnode* prev = hint && hint->ev->time <= t ? hint : first;
        while (prev->next->ev->time <= t) prev = prev->next;
        node->next = prev->next;
        prev->next = node;
    }
    hint = node;
}

bool Ctimeline::keepplayer(const Cmidfil& file, int track, const Cmidiev& ev)
{
    if (ev.kind() != 2) return true;
    const int type = ev.metatype();
    if (type != 1 && type != 5) return true;
    if (track != file.lyrictrack || ev.time == 0 || ev.length() <= 0 || !ev.data()) return false;
    const uint8_t c = ev.data()[0];
    if (file.lyrickind == 1) return c != '@';
    if (file.lyrickind == 5) return type != 1 && c != 10;
    return true;
}

void Ctimeline::buildplayer(const Cmidfil& file)
{
    clear();
    for (int i = 0; i < file.ntrks; ++i)
        if (const Ctrack* tr = file.track(i))
            for (Cmidiev* ev = tr->first; ev; ev = ev->next)
                if (keepplayer(file, i, *ev)) insert(ev);
}

void Ctimeline::buildtempo(const Cmidfil& file)
{
    clear();
    for (int i = 0; i < file.ntrks; ++i)
        if (const Ctrack* tr = file.track(i))
            for (Cmidiev* ev = tr->first; ev; ev = ev->next)
                if (istempo(*ev)) insert(ev);
}

int32_t Ctimeline::buildrender(const Cmidfil& file, Ctimeline chans[16], Ctimeline& tempo)
{
    for (int c = 0; c < 16; ++c) chans[c].clear();
    tempo.clear();
    int32_t end = 0;
    for (int i = 0; i < file.ntrks; ++i) {
        const Ctrack* tr = file.track(i);
        if (!tr) continue;
        for (Cmidiev* ev = tr->first; ev; ev = ev->next) {
            if (ev->kind() == 0) chans[ev->channel()].insert(ev);
            else if (istempo(*ev)) tempo.insert(ev);
            else continue;
            if (ev->time > end) end = ev->time;
        }
    }
    return end;
}

double Ctimeline::nexttempo(const Cmidiev& ev, double cur)
{
    if (!istempo(ev)) return cur;
    const uint32_t t = ev.tempo();
    return t ? double(t) : cur;
}

double Ctimeline::total(int division) const
{
    if (!first || division <= 0) return 0;
    double tempo = STARTTEMPO, us = 0;
    int32_t prev = first->ev->time;
    for (const Cnode* n = first; n; n = n->next) {
        us += usecs(double(n->ev->time) - prev, tempo, division);
        prev = n->ev->time;
        tempo = nexttempo(*n->ev, tempo);
    }
    return us;
}

int32_t maxtick(const Cmidfil& file)
{
    int32_t m = 0;
    for (int i = 0; i < file.ntrks; ++i)
        if (const Ctrack* tr = file.track(i))
            for (const Cmidiev* ev = tr->first; ev; ev = ev->next)
                if (ev->time > m) m = ev->time;
    return m;
}

double medialength(const Cmidfil& file)
{
    if (file.division == 0) return 0;
    const int32_t m = maxtick(file);
    Ctimeline tempos;
    tempos.buildtempo(file);
    double tempo = Ctimeline::STARTTEMPO, us = 0;
    int32_t prev = 0;
    for (const Cnode* n = tempos.first; n && prev < m; n = n->next) {
        const int32_t t = n->ev->time < m ? n->ev->time : m;
        us += Ctimeline::usecs(double(t) - prev, tempo, file.division);
        prev = t;
        tempo = Ctimeline::nexttempo(*n->ev, tempo);
    }
    if (prev < m) us += Ctimeline::usecs(double(m) - prev, tempo, file.division);
    return us * 0.000001;
}
