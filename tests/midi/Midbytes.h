#pragma once
// Builds Standard MIDI File bytes for tests: a header, then track chunks whose lengths are
// filled in from their contents (or given explicitly to test lying lengths).
#include "support/Tempdir.h"

#include <cstdint>
#include <initializer_list>
#include <string>

class Midbytes {
public:
    explicit Midbytes(uint16_t division = 480, uint16_t format = 1) : m_division(division), m_format(format) {}

    // A track chunk with these event bytes.
    Midbytes& track(const Bytes& events)
    {
        m_tracks.push_back(events);
        return *this;
    }
    Midbytes& track(std::initializer_list<uint8_t> events) { return track(Bytes(events)); }
    // Overrides the track count written into the header.
    Midbytes& ntrks(uint16_t n)
    {
        m_ntrks = n;
        return *this;
    }

    Bytes bytes() const
    {
        Bytes out = {'M', 'T', 'h', 'd', 0, 0, 0, 6};
        be16(out, m_format);
        be16(out, m_ntrks >= 0 ? uint16_t(m_ntrks) : uint16_t(m_tracks.size()));
        be16(out, m_division);
        for (const Bytes& t : m_tracks) {
            out.insert(out.end(), {'M', 'T', 'r', 'k'});
            be32(out, uint32_t(t.size()));
            out.insert(out.end(), t.begin(), t.end());
        }
        return out;
    }

    static void be16(Bytes& out, uint16_t v) { out.insert(out.end(), {uint8_t(v >> 8), uint8_t(v)}); }
    static void be32(Bytes& out, uint32_t v)
    {
        out.insert(out.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
    }
    // Variable-length quantity, most significant group first.
    static Bytes vlq(uint32_t v)
    {
        Bytes b = {uint8_t(v & 0x7F)};
        while (v >>= 7) b.insert(b.begin(), uint8_t(0x80 | (v & 0x7F)));
        return b;
    }
    // A meta event with delta time 0 and a text.
    static Bytes meta(uint8_t type, const std::string& text, uint32_t delta = 0)
    {
        Bytes b = vlq(delta);
        b.push_back(0xFF);
        b.push_back(type);
        Bytes len = vlq(uint32_t(text.size()));
        b.insert(b.end(), len.begin(), len.end());
        b.insert(b.end(), text.begin(), text.end());
        return b;
    }
    static Bytes tempo(uint32_t usq, uint32_t delta = 0)
    {
        Bytes b = vlq(delta);
        b.insert(b.end(), {0xFF, 0x51, 0x03, uint8_t(usq >> 16), uint8_t(usq >> 8), uint8_t(usq)});
        return b;
    }
    static Bytes cat(std::initializer_list<Bytes> parts)
    {
        Bytes out;
        for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    }

private:
    uint16_t m_division;
    uint16_t m_format;
    int m_ntrks = -1;
    std::vector<Bytes> m_tracks;
};
