// Reading a recording back: the frames of a Matroska file, a multi-page TIFF
// or a folder of frame files, in order or at any index, each as a camera
// frame the viewer, the picture files and the writers take as they take a
// live one.
#pragma once
#include "platform/imaging/sequence/SequenceFile.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace imaging {

// One frame read back. data stays valid while the frame (or a copy of keep)
// lives, also after the reader reads further.
struct ReadFrame {
    const uint8_t* data = nullptr;
    uint64_t size = 0;            // bytes: what a whole frame of the reader's Shape() holds
    uint64_t index = 0;           // its place in the file, 0 for the first
    int64_t fileTime = -1;        // the file's own time for it in ns (Matroska's), -1 where it has none
    std::shared_ptr<const void> keep;
};

// What opening found, for messages and the status line.
struct SequenceInfo {
    SequenceFormat format = SequenceFormat::Mkv;
    std::string recordedFormat;   // the camera's pixel format the file names ("BayerRG12p"); empty: not said
    std::string codec;            // Matroska: "ffv1", "magicyuv", ...; empty otherwise
    bool complete = true;         // false: the file ends early (a cut or killed recording); frames up to the
                                  // last whole one are read
    std::string note;             // what could not be read or is not kept, in words ("" when nothing)
};

class SequenceReader {
public:
    virtual ~SequenceReader() = default;
    // Opens the recording at path (a .mkv, .tif/.tiff, or a folder of
    // frame-NNNNNN files) and finds its frames without decoding them. False,
    // with Error(), when nothing in it can be shown; never allocates by a
    // size the file claims before checking it against the file's own size.
    virtual bool Open(const std::string& path) = 0;
    // The frames' shape. The format is one of cam::FindPixelFormat's, as the
    // recording keeps it: a packed camera format comes back unpacked at its
    // own depth (Mono12p as Mono12, BayerRG10Packed as BayerRG10), colour as
    // BGR8/BGRa8/RGB8 as the file holds it, YUV 4:2:2 as the camera sent it.
    virtual const SequenceShape& Shape() const = 0;
    virtual const SequenceInfo& Info() const = 0;
    // Frames that can be read: 0 to FrameCount() - 1. A folder's frame file
    // N keeps index N - 1 (as frames.csv counts) also when files before it
    // are missing: reading a missing one fails, naming it.
    virtual uint64_t FrameCount() const = 0;
    // Frame index into *frame, decoding from the keyframe before it when it
    // is not one itself. False, with Error(), when it cannot (the file is
    // damaged there); the reader stays usable for other indexes.
    virtual bool Read(uint64_t index, ReadFrame* frame) = 0;
    // Every frame is to be read once, in order (a check of the whole
    // recording): the reader may decode frames ahead, as FFmpeg's own
    // programs do, at the cost of a jump's time. Asked before the first Read.
    virtual void ReadInOrder() {}
    virtual const std::string& Error() const = 0;
};

// A reader for the recording at path (by its name: ".mkv", ".tif"/".tiff",
// a folder), opened; null with *error in words when it cannot be read
// ("cannot read \"x.mkv\": ...").
std::unique_ptr<SequenceReader> OpenSequence(const std::string& path, std::string* error);

}  // namespace imaging
