#pragma once
// A whole file held in memory and read front to back. The MIDI reader loads the file once with
// low-level calls and then takes its bytes from here, so no read can run past the end.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

class Cmidsrc {
public:
    virtual ~Cmidsrc() = default;

    // Loads the whole file; false when it cannot be opened or read.
    bool load(const std::string& path);
    void assign(std::vector<uint8_t> bytes) { m_data = std::move(bytes); m_pos = 0; }

    size_t left() const { return m_data.size() - m_pos; }
    bool byte(uint8_t& b)
    {
        if (m_pos >= m_data.size()) return false;
        b = m_data[m_pos++];
        return true;
    }
    // Copies n bytes; false (nothing consumed) when fewer are left.
    bool take(uint8_t* dest, size_t n)
    {
        if (n > left()) return false;
        if (n) std::memcpy(dest, m_data.data() + m_pos, n);
        m_pos += n;
        return true;
    }
    // Skips up to n bytes, stopping at the end of the file.
    void skip(uint64_t n) { m_pos += size_t(n < left() ? n : left()); }
    bool be16(uint16_t& v)
    {
        if (left() < 2) return false;
        v = uint16_t(m_data[m_pos] << 8 | m_data[m_pos + 1]);
        m_pos += 2;
        return true;
    }
    bool be32(uint32_t& v)
    {
        if (left() < 4) return false;
        v = uint32_t(m_data[m_pos]) << 24 | uint32_t(m_data[m_pos + 1]) << 16 | uint32_t(m_data[m_pos + 2]) << 8 | m_data[m_pos + 3];
        m_pos += 4;
        return true;
    }

private:
    std::vector<uint8_t> m_data;
    size_t m_pos = 0;
};
