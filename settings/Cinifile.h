#pragma once
// A private-profile (INI) file: "[section]" lines, then "key=value" lines. Sections and keys match
// case-insensitively and without the blanks around them; a value loses its surrounding blanks and
// one pair of matching quotes. The first matching section and the first matching key in it count.
//
// write() changes or adds exactly one line and keeps every other byte of the file as it was; the
// new content replaces the old file in one rename. The file is read anew on every call.
#include <string>

class Cinifile {
public:
    explicit Cinifile(std::string path) : m_path(std::move(path)) {}
    virtual ~Cinifile() = default;

    // The value of key in section, or def when the file, section or key is missing.
    std::string read(const std::string& section, const std::string& key, const std::string& def = "") const;
    // Sets key in section to value, creating the file, section or key as needed. Line breaks in
    // value end it. False when the file could not be written; it is then left as it was.
    bool write(const std::string& section, const std::string& key, const std::string& value) const;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};
