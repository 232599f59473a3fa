// The table of the library's error codes, with a name and a meaning each, and
// the quoting of strings for one-line messages.
#include "cam.h"
#include "camtext.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace {

struct ErrorEntry {
    CamError code;
    const char* name;
    const char* text;
};

const ErrorEntry kErrors[] = {
    {CAM_OK, "CAM_OK", "success"},
    {CAM_ERR_INTERNAL, "CAM_ERR_INTERNAL", "an unexpected failure inside the library"},
    {CAM_ERR_NOT_STARTED, "CAM_ERR_NOT_STARTED", "the library is not started"},
    {CAM_ERR_BAD_HANDLE, "CAM_ERR_BAD_HANDLE", "handle 0, closed, or never issued"},
    {CAM_ERR_BAD_PARAMETER, "CAM_ERR_BAD_PARAMETER", "a null pointer or an argument out of range"},
    {CAM_ERR_NOT_FOUND, "CAM_ERR_NOT_FOUND", "no camera or feature of that name"},
    {CAM_ERR_WRONG_TYPE, "CAM_ERR_WRONG_TYPE", "the feature is of another type"},
    {CAM_ERR_INVALID_VALUE, "CAM_ERR_INVALID_VALUE", "the value is not accepted"},
    {CAM_ERR_BAD_SIZE, "CAM_ERR_BAD_SIZE", "a record or buffer size does not match"},
    {CAM_ERR_NO_MEMORY, "CAM_ERR_NO_MEMORY", "an allocation failed"},
    {CAM_ERR_TIMEOUT, "CAM_ERR_TIMEOUT", "nothing arrived in time"},
    {CAM_ERR_INCOMPLETE, "CAM_ERR_INCOMPLETE", "a transfer ended short"},
    {CAM_ERR_NOT_IMPLEMENTED, "CAM_ERR_NOT_IMPLEMENTED", "not supported"},
    {CAM_ERR_BAD_SEQUENCE, "CAM_ERR_BAD_SEQUENCE", "call out of order"},
    {CAM_ERR_ACCESS_DENIED, "CAM_ERR_ACCESS_DENIED", "the camera is already open or refuses access"},
    {CAM_ERR_IO, "CAM_ERR_IO", "the camera stopped answering"},
    {CAM_ERR_BAD_CONFIG, "CAM_ERR_BAD_CONFIG", "TARVIK_CAMERAS or a source's settings are invalid"},
};

const ErrorEntry* Find(CamError error)
{
    for (const ErrorEntry& e : kErrors)
        if (e.code == error)
            return &e;
    return nullptr;
}

}  // namespace

extern "C" {

const char* CamErrorName(CamError error)
{
    const ErrorEntry* e = Find(error);
    return e ? e->name : "CAM_ERR_UNKNOWN";
}

const char* CamErrorText(CamError error)
{
    const ErrorEntry* e = Find(error);
    return e ? e->text : "an error this library does not know";
}

}  // extern "C"

namespace cam {

std::string Quoted(std::string_view text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string OneLine(std::string_view text)
{
    const bool plain = !text.empty() && std::none_of(text.begin(), text.end(), [](unsigned char c) {
        return c < 0x20 || c == 0x7f || c == '"' || c == '\\';
    });
    return plain ? std::string(text) : Quoted(text);
}

}  // namespace cam
