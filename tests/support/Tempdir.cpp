#include "support/Tempdir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

Tempdir::Tempdir()
{
    std::string templ = (std::filesystem::temp_directory_path() / "cantorix-XXXXXX").string();
    if (char* made = mkdtemp(templ.data())) m_path = made;
}

Tempdir::~Tempdir()
{
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
}

bool writebytes(const std::string& path, const Bytes& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    return bool(out);
}

Bytes readbytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}
