// A folder of its own under /tmp for a test, removed with what it holds.
#pragma once

#include <cstdlib>
#include <filesystem>
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

}  // namespace harness
