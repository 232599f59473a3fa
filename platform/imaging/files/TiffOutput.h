// libtiff writing through our own calls: every write checked, the first
// failure kept as the system gave it (libtiff gives up after a failed write
// without saying why), for the picture and the sequence writers.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <string>
#include <vector>

namespace imaging {

struct TiffOutput {
    int fd = -1;                             // written with pwrite at offset
    std::vector<uint8_t>* memory = nullptr;  // written into instead when there is no descriptor
    uint64_t offset = 0;                     // where the next write goes
    uint64_t end = 0;                        // the size as written
    std::string error;                       // the first failure; nothing is written after it

    bool Fail(int errnum);
    bool Fail(const std::string& why);
    // libtiff on this output in mode ("wl", "w8l", ...); libtiff's own
    // complaints become the error. Null when it cannot start the file.
    TIFF* Open(const char* name, const char* mode);
};

}  // namespace imaging
