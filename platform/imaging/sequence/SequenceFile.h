// Sequence files: every frame a camera sends, kept losslessly in one file
// (or one file a frame), for recordings.
#pragma once
#include "platform/camera/campixel.h"
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace imaging {

enum class SequenceFormat { Mkv, Tiff, Directory };

// The shape every frame of one sequence has.
struct SequenceShape {
    const cam::PixelFormat* format = nullptr;  // never null when opened
    uint32_t width = 0, height = 0;
};

// One frame as the camera sent it.
struct SequenceFrame {
    const uint8_t* data = nullptr;
    uint64_t size = 0;        // bytes the camera filled (rows beyond them are written black/zero)
    uint64_t index = 0;       // 0 for the first frame in the file
    uint64_t timestamp = 0;   // the camera's clock in ns; 0 where unknown
    uint64_t receiveTime = 0; // host real time in ns since 1970
};

struct SequenceOptions {
    std::string frameFileFormat = "tiff";  // Directory: "tiff" or "png"
    int threads = 0;                        // Mkv: encoder threads, 0: as many as cores
    std::string codec;                      // Mkv: one of MkvCodecs(); empty: ffv1
    bool bayerPlanes = false;               // Mkv: a Bayer mosaic kept as its four colour planes (see
                                            // MkvBayerPlanesNote), tagged BAYER_LAYOUT=planes
    uint64_t frames = 0;                    // Tiff: frames the file will hold when known (0: not known),
                                            // so that a file that surely stays under 4 GB is classic TIFF
};

class SequenceWriter {
public:
    virtual ~SequenceWriter() = default;  // without Close: closes what it can, the file stays valid up to the last whole frame
    // Creates path (the final name, written as it grows; never a temporary file) for frames of shape. An
    // existing file is replaced only when overwrite. A FIFO is written into where the format can stream (Mkv),
    // refused otherwise. False, with Error(), when it cannot.
    virtual bool Open(const std::string& path, const SequenceShape& shape, bool overwrite) = 0;
    // Appends one frame; false, with Error(), when it could not be written whole. After a failure the file
    // still holds every frame written before it, readable (Close still tidies up).
    virtual bool Write(const SequenceFrame& frame) = 0;
    // Finishes the file (trailer, index, last directory), every write checked and synced; false, with Error().
    virtual bool Close() = 0;
    // Why it failed, e.g. "No space left on device".
    virtual const std::string& Error() const = 0;
    // Bytes written so far.
    virtual uint64_t BytesWritten() const = 0;
    // The last frames Write took that are not yet whole in the file (an encoder coding a frame a thread holds a
    // few back): after a failed Write or Close they never will be.
    virtual uint64_t FramesHeld() const { return 0; }
};

// The format a path asks for: a path ending in '/' or an existing directory: Directory; ".mkv": Mkv;
// ".tif"/".tiff": Tiff (any case). False for anything else.
bool SequenceFormatOf(const std::string& path, SequenceFormat* format);
// ".mkv, .tif, .tiff, or a folder (a name ending in /)", for messages.
std::string SequenceFileKinds();
// A writer for the format; null when the pixel format cannot be recorded in it (see CanRecord).
std::unique_ptr<SequenceWriter> MakeSequenceWriter(SequenceFormat format, const SequenceOptions& options);
// Whether frames of this pixel format can be recorded in format; *why says why not.
bool CanRecord(SequenceFormat format, const cam::PixelFormat& pixelFormat, std::string* why);
// The same for frames of this shape (format and size), so that a size the format cannot keep is refused before
// a recording begins rather than failing as a write.
bool CanRecord(SequenceFormat format, const SequenceShape& shape, std::string* why);
// The same with the Matroska codec asked for (empty: ffv1).
bool CanRecord(SequenceFormat format, const SequenceShape& shape, const std::string& codec, std::string* why);

// Implemented in SequenceMkv.cpp (owner rec-mkv), SequenceTiff.cpp and SequenceDirectory.cpp (owner rec-tiff).
std::unique_ptr<SequenceWriter> MakeMkvWriter(const SequenceOptions& options);
// Whether the Matroska writer's encoder takes frames of shape; *why says why not.
bool MkvTakes(const SequenceShape& shape, std::string* why);
bool MkvTakes(const SequenceShape& shape, const std::string& codec, std::string* why);
// The codecs a Matroska recording can use, as --record-codec names them.
const std::vector<std::string>& MkvCodecs();
// The codec a recording of frames of shape arriving framesPerSecond (0: not known) gets when none is asked
// for: FFV1 (the smallest files) while the data rate stays under what it encodes on this kind of machine,
// else the fast codec that takes the pixel format.
std::string DefaultMkvCodec(const SequenceShape& shape, double framesPerSecond);
// Why frames of shape recorded to .mkv with bayerPlanes keep their mosaic after all (a format that is no
// mosaic, an odd width or height), for a note to the user; empty when they are split into planes.
std::string MkvBayerPlanesNote(const SequenceShape& shape);
// The picture row that holds row y of a height-row mosaic kept as planes: its even rows fill the top half, its odd
// ones the bottom (each row's even columns its left half, odd ones its right).
inline uint32_t BayerPlanesRow(uint32_t y, uint32_t height) { return (y & 1) * (height / 2) + y / 2; }
std::unique_ptr<SequenceWriter> MakeTiffWriter(const SequenceOptions& options);
std::unique_ptr<SequenceWriter> MakeDirectoryWriter(const SequenceOptions& options);

}  // namespace imaging
