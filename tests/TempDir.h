// A folder of its own under /tmp for a test, removed with what it holds,
// and what a file in it holds.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace harness {

struct TempDir {
    std::string path;  // empty when none could be made
    TempDir()
    {
        char name[] = "/tmp/tarvik-test-XXXXXX";
        path = mkdtemp(name) ? name : "";
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path.empty())
            std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// What a file holds, byte for byte; empty when it cannot be read.
inline std::string Contents(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace harness
