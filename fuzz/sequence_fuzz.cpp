// Fuzzes reading recordings back: any bytes, as a Matroska file or a TIFF
// (by the first byte), opened and read every frame forwards and a few
// backwards; whatever they hold is refused or read in bounds, never a crash
// nor an allocation the file's size does not bear.
#include "platform/imaging/sequence/SequenceReader.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static const std::string base = "/tmp/tarvik-sequence-fuzz-" + std::to_string(getpid());
    const std::string path = base + (data[0] & 1 ? ".tiff" : ".mkv");
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);
    std::string error;
    if (auto reader = imaging::OpenSequence(path, &error)) {
        imaging::ReadFrame frame;
        const uint64_t count = reader->FrameCount() < 64 ? reader->FrameCount() : 64;
        for (uint64_t i = 0; i < count; ++i)
            if (reader->Read(i, &frame) && frame.size == 0)
                __builtin_trap();  // a frame read holds its shape's bytes
        for (uint64_t i = count; i-- > 0 && i + 4 > count;)
            reader->Read(i, &frame);
    } else if (error.empty()) {
        __builtin_trap();  // a refusal says why
    }
    std::remove(path.c_str());
    return 0;
}
