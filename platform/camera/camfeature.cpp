// Values are parsed whole: "12abc", "1e400", "nan" and the like are refused,
// never half-read.
#include "camfeature.h"

#include "camtext.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>

namespace cam {
namespace {

std::string Unit(const CamFeatureInfo& info)
{
    return info.unit && *info.unit ? std::string(" ") + info.unit : std::string();
}

// Whole numbers as people write them: an optional sign and decimal digits,
// leading zeros still decimal ("0640" is 640). A feature shown in hex also
// takes 0x and hex digits. No spaces, no other bases.
// *beyond: a whole number past the 64-bit range, *v then the end of the
// range on its side (it is above any maximum or below any minimum).
bool ParseInt(std::string_view text, bool hex, int64_t* v, bool* beyond)
{
    *beyond = false;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+'))
        text.remove_prefix(1);
    int base = 10;
    if (hex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        base = 16, text.remove_prefix(2);
    uint64_t magnitude = 0;
    const char* end = text.data() + text.size();
    const auto done = std::from_chars(text.data(), end, magnitude, base);
    if (text.empty() || done.ptr != end || (done.ec != std::errc() && done.ec != std::errc::result_out_of_range))
        return false;
    const uint64_t limit = uint64_t(std::numeric_limits<int64_t>::max()) + (negative ? 1 : 0);
    if (done.ec == std::errc::result_out_of_range || magnitude > limit) {
        *beyond = true;
        *v = negative ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
        return true;
    }
    *v = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
    return true;
}

// Decimal notation with an optional exponent ("2.5", "-.5", "1e-3"); no hex,
// no inf or nan, nothing past a double's largest. *tiny: a number other than
// 0 too close to 0 for a double to hold as it is (it would round to 0 or lose
// precision); *v is then what it rounds to, at least the smallest double of
// its sign. -0 is 0.
bool ParseFloat(std::string_view text, double* v, bool* tiny)
{
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+'))
        ++i;
    const size_t start = i;
    // The power of ten of the first digit other than 0, for telling a number
    // past the largest double from one below the smallest.
    long power = 0;
    bool nonZero = false, point = false;
    long digits = 0, fraction = 0;
    for (; i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || (text[i] == '.' && !point)); ++i) {
        if (text[i] == '.') {
            point = true;
            continue;
        }
        ++digits;
        fraction += point;
        if (!nonZero && text[i] != '0')
            nonZero = true, power = point ? -fraction : 0;
        else if (nonZero && !point)
            ++power;
    }
    if (digits == 0)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        const bool down = i < text.size() && text[i] == '-';
        if (i < text.size() && (text[i] == '-' || text[i] == '+'))
            ++i;
        long exponent = 0;
        size_t n = 0;
        for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i, ++n)
            exponent = std::min(exponent * 10 + (text[i] - '0'), 1000000L);
        if (n == 0)
            return false;
        power += down ? -exponent : exponent;
    }
    if (i != text.size())
        return false;
    *v = 0;
    const auto done = std::from_chars(text.data() + start, text.data() + text.size(), *v);
    if (done.ptr != text.data() + text.size() || (done.ec != std::errc() && power > 0) || !std::isfinite(*v))
        return false;
    *tiny = nonZero && std::fabs(*v) < std::numeric_limits<double>::min();
    if (*tiny && *v == 0)
        *v = std::numeric_limits<double>::denorm_min();
    *v = (negative ? -*v : *v) + 0.0;
    return true;
}

std::string BooleanForms() { return "true or false (or on/off, yes/no, 1/0, in any case)"; }

bool SameLetters(std::string_view text, std::string_view word)
{
    return text.size() == word.size() &&
           std::equal(text.begin(), text.end(), word.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

}  // namespace

bool ParseWholeNumber(std::string_view text, int64_t* v)
{
    bool beyond = false;
    return ParseInt(text, false, v, &beyond) && !beyond;
}

bool ParseNumber(std::string_view text, double* v)
{
    bool tiny = false;
    return ParseFloat(text, v, &tiny);
}

std::string FloatText(double v)
{
    // Plain decimals where people read them as numbers (10000, not 1e+04).
    char text[400];
    v += 0.0;  // -0 reads as 0
    const double magnitude = std::fabs(v);
    const bool plain = v == 0 || (magnitude >= 1e-4 && magnitude < 1e15);
    const auto done = plain ? std::to_chars(text, text + sizeof text, v, std::chars_format::fixed)
                            : std::to_chars(text, text + sizeof text, v);
    return done.ec == std::errc() ? std::string(text, done.ptr) : std::string("nan");
}

std::string IntText(int64_t v, int32_t representation)
{
    if (representation != CAM_REPRESENTATION_HEX)
        return std::to_string(v);
    char text[24];
    const uint64_t magnitude = v < 0 ? 0 - uint64_t(v) : uint64_t(v);
    std::snprintf(text, sizeof text, "%s0x%" PRIx64, v < 0 ? "-" : "", magnitude);
    return text;
}

CamError CheckFeatureValue(const CamFeatureInfo& info, const std::string& text, std::string* canonical,
                           std::string* why)
{
    const std::string shown = Echoed(text);
    switch (info.type) {
    case CAM_TYPE_INTEGER: {
        int64_t v = 0;
        bool beyond = false;
        const bool hex = info.representation == CAM_REPRESENTATION_HEX;
        if (!ParseInt(text, hex, &v, &beyond))
            return *why = std::string("expects a whole number") + (hex ? " (decimal, or 0x and hex digits)" : "") +
                          ", got " + shown,
                   CAM_ERR_WRONG_TYPE;
        if (v < info.intMinimum || (beyond && v < 0))
            return *why = shown + " is below the minimum " + IntText(info.intMinimum, info.representation) + Unit(info),
                   CAM_ERR_INVALID_VALUE;
        if (v > info.intMaximum || (beyond && v > 0))
            return *why = shown + " is above the maximum " + IntText(info.intMaximum, info.representation) + Unit(info),
                   CAM_ERR_INVALID_VALUE;
        if (info.intIncrement > 1 && (v - info.intMinimum) % info.intIncrement != 0)
            return *why = shown + " is not a step of " + IntText(info.intIncrement, info.representation) + " from " +
                          IntText(info.intMinimum, info.representation),
                   CAM_ERR_INVALID_VALUE;
        *canonical = IntText(v, info.representation);
        return CAM_OK;
    }
    case CAM_TYPE_FLOAT: {
        double v = 0;
        bool tiny = false;
        if (!ParseFloat(text, &v, &tiny))
            return *why = "expects a number, got " + shown, CAM_ERR_WRONG_TYPE;
        if (v < info.floatMinimum)
            return *why = shown + " is below the minimum " + FloatText(info.floatMinimum) + Unit(info),
                   CAM_ERR_INVALID_VALUE;
        if (v > info.floatMaximum)
            return *why = shown + " is above the maximum " + FloatText(info.floatMaximum) + Unit(info),
                   CAM_ERR_INVALID_VALUE;
        // In range, but no camera's number holds it: 0 is what it would become.
        if (tiny)
            return *why = shown + " is too close to 0 to be set: it would be rounded (to set 0, give 0)",
                   CAM_ERR_INVALID_VALUE;
        if (info.floatIncrement > 0) {
            const double steps = (v - info.floatMinimum) / info.floatIncrement;
            if (std::fabs(steps - std::round(steps)) > 1e-9 * std::max(1.0, std::fabs(steps)))
                return *why = shown + " is not a step of " + FloatText(info.floatIncrement) + " from " +
                              FloatText(info.floatMinimum),
                       CAM_ERR_INVALID_VALUE;
        }
        *canonical = FloatText(v);
        return CAM_OK;
    }
    case CAM_TYPE_BOOLEAN:
        for (const char* yes : {"true", "on", "yes", "1"})
            if (SameLetters(text, yes))
                return *canonical = "true", CAM_OK;
        for (const char* no : {"false", "off", "no", "0"})
            if (SameLetters(text, no))
                return *canonical = "false", CAM_OK;
        return *why = "expects " + BooleanForms() + ", got " + shown, CAM_ERR_WRONG_TYPE;
    case CAM_TYPE_ENUMERATION: {
        std::string list;
        for (uint32_t i = 0; i < info.entryCount; ++i) {
            if (text == info.entries[i])
                return *canonical = text, CAM_OK;
            list += (i ? ", " : "") + OneLine(info.entries[i]);
        }
        return *why = shown + " is not one of its entries" + (list.empty() ? std::string(" (none now)") : ": " + list),
               CAM_ERR_INVALID_VALUE;
    }
    case CAM_TYPE_STRING: *canonical = text; return CAM_OK;
    case CAM_TYPE_COMMAND:
        if (!text.empty())
            return *why = "is a command: it takes no value", CAM_ERR_WRONG_TYPE;
        *canonical = "";
        return CAM_OK;
    default: return *why = "is a category: it has no value", CAM_ERR_WRONG_TYPE;
    }
}

const char* FeatureTypeName(int32_t type)
{
    switch (type) {
    case CAM_TYPE_INTEGER: return "integer";
    case CAM_TYPE_FLOAT: return "float";
    case CAM_TYPE_ENUMERATION: return "enumeration";
    case CAM_TYPE_BOOLEAN: return "boolean";
    case CAM_TYPE_STRING: return "string";
    case CAM_TYPE_COMMAND: return "command";
    case CAM_TYPE_CATEGORY: return "category";
    default: return "unknown";
    }
}

const char* FeatureAccessName(int32_t access)
{
    switch (access) {
    case CAM_ACCESS_READ_WRITE: return "read/write";
    case CAM_ACCESS_READ: return "read-only";
    case CAM_ACCESS_WRITE: return "write-only";
    default: return "not available";
    }
}

const char* FeatureVisibilityName(int32_t visibility)
{
    switch (visibility) {
    case CAM_VISIBILITY_BEGINNER: return "beginner";
    case CAM_VISIBILITY_EXPERT: return "expert";
    case CAM_VISIBILITY_GURU: return "guru";
    default: return "invisible";
    }
}

}  // namespace cam
