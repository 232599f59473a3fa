// Sequences as a folder of picture files, one a frame.
#include "SequenceFile.h"

namespace imaging {

std::unique_ptr<SequenceWriter> MakeDirectoryWriter(const SequenceOptions&) { return nullptr; }

}  // namespace imaging
