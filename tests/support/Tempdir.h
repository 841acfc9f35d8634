#pragma once
// A fresh folder under the system's temporary folder, removed with everything in it at the end
// of the scope; files(): helpers to write and read whole files as bytes.
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

class Tempdir {
public:
    Tempdir();
    ~Tempdir();
    Tempdir(const Tempdir&) = delete;
    Tempdir& operator=(const Tempdir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

bool writebytes(const std::string& path, const Bytes& data);
Bytes readbytes(const std::string& path);
bool exists(const std::string& path);
