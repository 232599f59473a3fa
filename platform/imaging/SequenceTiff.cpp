// Multi-page TIFF sequences through libtiff, a page a frame.
#include "SequenceFile.h"

namespace imaging {

std::unique_ptr<SequenceWriter> MakeTiffWriter(const SequenceOptions&) { return nullptr; }

}  // namespace imaging
