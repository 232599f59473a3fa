// A folder of its own under /tmp for a test, removed with what it holds,
// and what a file in it holds.
#pragma once

#include <cstdio>
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

// Standard output of a shell command (an FFmpeg or libtiff tool the test
// compares against); empty when it cannot run.
inline std::string CommandOutput(const std::string& command)
{
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[65536];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

}  // namespace harness
