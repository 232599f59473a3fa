// Fuzzes the simulated camera's settings parser with any text.
#include "platform/camera/camsim.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    cam::SimSettings settings;
    std::string error;
    const CamError err = cam::ParseSimSettings(text.c_str(), &settings, &error);
    if (err == CAM_OK && (settings.formats.empty() || settings.count < 0 || settings.count > cam::kSimMaxCount))
        __builtin_trap();
    if (err != CAM_OK && (error.empty() || error.find('\n') != std::string::npos))
        __builtin_trap();
    return 0;
}
