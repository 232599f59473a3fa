// A small file system for tests of full and nearly full disks: a tmpfs of
// 2 MiB (as root only) with a chosen number of bytes left free.
#pragma once

#include <sys/mount.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>

namespace harness {

// Leaves about free bytes (in whole 4 KiB pages, as tmpfs counts them) free
// on the file system at dir, by sizing dir/fill.
inline bool LeaveFree(const std::string& dir, uint64_t free)
{
    std::ofstream(dir + "/fill", std::ios::trunc).close();
    struct statvfs st {};
    if (statvfs(dir.c_str(), &st) != 0)
        return false;
    const int64_t room = int64_t(st.f_bavail * st.f_frsize) - int64_t(free / 4096 * 4096);
    std::ofstream out(dir + "/fill", std::ios::binary);
    out << std::string(size_t(std::max<int64_t>(room, 0)), 'x');
    return bool(out.flush());
}

// Mounts the small file system at dir with free bytes left; false where
// mounting is not allowed (the caller skips then).
inline bool MountSmallDisk(const std::string& dir, uint64_t free)
{
    return mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=2m") == 0 && LeaveFree(dir, free);
}

}  // namespace harness
