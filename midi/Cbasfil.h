#pragma once
// Base of every file class (MIDI, WAVE, sound banks): owns a copy of the file's path.
#include <string>

class Cbasfil {
public:
    explicit Cbasfil(std::string path) : m_path(std::move(path)) {}
    virtual ~Cbasfil() = default;
    Cbasfil(const Cbasfil&) = delete;
    Cbasfil& operator=(const Cbasfil&) = delete;

    const std::string& path() const { return m_path; }

protected:
    std::string m_path;
};
