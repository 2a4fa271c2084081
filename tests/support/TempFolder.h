#pragma once
// A fresh folder under /tmp for one test, removed with everything in it when
// the object goes. Paths are UTF-8 texts.

#include <stdlib.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

namespace TestSupport
{

class TempFolder
{
public:
    // Raises std::system_error when the folder cannot be made.
    TempFolder()
    {
        char pattern[] = "/tmp/tavrin-test-XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        m_root = pattern;
    }
    ~TempFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // The folder's own path.
    const std::string& Root() const { return m_root; }

    // The path of name inside the folder.
    std::string Path(const std::string& name) const { return m_root + "/" + name; }

    // Writes size bytes at data to the file name (replacing it) and answers
    // its path.
    std::string Write(const std::string& name, const void* data, std::size_t size) const
    {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
        return path;
    }
    std::string Write(const std::string& name, std::string_view contents) const
    {
        return Write(name, contents.data(), contents.size());
    }

private:
    std::string m_root;
};

} // namespace TestSupport
