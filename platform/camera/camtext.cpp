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
    {CAM_ERR_NOT_GIGE, "CAM_ERR_NOT_GIGE", "not a GigE Vision camera: it has no IP settings"},
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

namespace {

// Bytes of the well-formed UTF-8 sequence of two or more bytes that starts
// text, or 0 (overlong forms, surrogates and values past U+10FFFF included).
size_t MultiByteLength(std::string_view text)
{
    const auto byte = [&](size_t i) { return i < text.size() ? (unsigned char)text[i] : 0u; };
    const unsigned lead = byte(0);
    size_t length = 0;
    unsigned low = 0x80, high = 0xbf;  // the range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (byte(1) < low || byte(1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xbf)
            return 0;
    return length;
}

// Characters a terminal shows as nothing, as a space, or that turn the rest
// of the line around or break it: written as escapes, so that a name that
// looks right but is not can be seen.
bool Invisible(uint32_t c)
{
    static const uint32_t ranges[][2] = {
        {0x80, 0xa0},     {0xad, 0xad},     {0x34f, 0x34f},   {0x61c, 0x61c},   {0x115f, 0x1160},
        {0x17b4, 0x17b5}, {0x180e, 0x180e}, {0x2000, 0x200f}, {0x2028, 0x202f}, {0x205f, 0x206f},
        {0x3000, 0x3000}, {0x3164, 0x3164}, {0xfe00, 0xfe0f}, {0xfeff, 0xfeff}, {0xfff9, 0xfffb},
        {0xe0000, 0xe0fff},
    };
    for (const auto& r : ranges)
        if (c >= r[0] && c <= r[1])
            return true;
    return false;
}

// The code point of a well-formed sequence of n bytes.
uint32_t CodePoint(std::string_view text, size_t n)
{
    uint32_t c = (unsigned char)text[0] & (0xff >> (n + 1));
    for (size_t i = 1; i < n; ++i)
        c = (c << 6) | ((unsigned char)text[i] & 0x3f);
    return c;
}

}  // namespace

std::string Escaped(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = text[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += char(c);
        } else if (const size_t n = c >= 0x80 ? MultiByteLength(text.substr(i)) : 0) {
            const uint32_t point = CodePoint(text.substr(i), n);
            if (Invisible(point)) {
                char escape[12];
                std::snprintf(escape, sizeof escape, point > 0xffff ? "\\U%08x" : "\\u%04x", unsigned(point));
                out += escape;
            } else {
                out.append(text.substr(i, n));
            }
            i += n;
            continue;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
        ++i;
    }
    return out;
}

std::string Quoted(std::string_view text) { return "\"" + Escaped(text) + "\""; }

std::string OneLine(std::string_view text)
{
    return !text.empty() && Escaped(text) == text ? std::string(text) : Quoted(text);
}

std::string Echoed(std::string_view text, bool quoted)
{
    constexpr size_t kKept = 60, kLongest = 80;
    // Spaces at either end would vanish into the message's own.
    quoted = quoted || (!text.empty() && (text.front() == ' ' || text.back() == ' '));
    if (text.size() <= kLongest)
        return quoted ? Quoted(text) : OneLine(text);
    size_t cut = kKept;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80)
        --cut;
    const std::string_view kept = text.substr(0, cut);
    return (quoted ? Quoted(kept) : OneLine(kept)) + "\u2026 (" + std::to_string(text.size()) + " bytes)";
}

std::string ValidUtf8(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = text[i];
        const size_t n = c < 0x80 ? 1 : MultiByteLength(text.substr(i));
        out.append(n ? text.substr(i, n) : std::string_view("\xef\xbf\xbd"));
        i += n ? n : 1;
    }
    return out;
}

}  // namespace cam
