// Values are parsed whole: "12abc", "1e400", "nan" and the like are refused,
// never half-read.
#include "camfeature.h"

#include "camtext.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace cam {
namespace {

std::string Unit(const CamFeatureInfo& info)
{
    return info.unit && *info.unit ? std::string(" ") + info.unit : std::string();
}

bool ParseInt(const std::string& text, int64_t* v)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char* end = nullptr;
    const long long n = std::strtoll(text.c_str(), &end, 0);
    *v = n;
    return errno == 0 && end && *end == '\0';
}

bool ParseFloat(const std::string& text, double* v)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char* end = nullptr;
    *v = std::strtod(text.c_str(), &end);
    return errno == 0 && end && *end == '\0' && std::isfinite(*v);
}

}  // namespace

std::string FloatText(double v)
{
    // Plain decimals where people read them as numbers (10000, not 1e+04).
    char text[400];
    const double magnitude = std::fabs(v);
    const bool plain = v == 0 || (magnitude >= 1e-4 && magnitude < 1e15);
    const auto done = plain ? std::to_chars(text, text + sizeof text, v, std::chars_format::fixed)
                            : std::to_chars(text, text + sizeof text, v);
    return done.ec == std::errc() ? std::string(text, done.ptr) : std::string("nan");
}

CamError CheckFeatureValue(const CamFeatureInfo& info, const std::string& text, std::string* canonical,
                           std::string* why)
{
    const std::string shown = OneLine(text);
    switch (info.type) {
    case CAM_TYPE_INTEGER: {
        int64_t v = 0;
        if (!ParseInt(text, &v))
            return *why = "expects a whole number, got " + shown, CAM_ERR_WRONG_TYPE;
        if (v < info.intMinimum)
            return *why = shown + " is below the minimum " + std::to_string(info.intMinimum) + Unit(info),
                   CAM_ERR_INVALID_VALUE;
        if (v > info.intMaximum)
            return *why = shown + " is above the maximum " + std::to_string(info.intMaximum) + Unit(info),
                   CAM_ERR_INVALID_VALUE;
        if (info.intIncrement > 1 && (v - info.intMinimum) % info.intIncrement != 0)
            return *why = shown + " is not a step of " + std::to_string(info.intIncrement) + " from " +
                          std::to_string(info.intMinimum),
                   CAM_ERR_INVALID_VALUE;
        *canonical = std::to_string(v);
        return CAM_OK;
    }
    case CAM_TYPE_FLOAT: {
        double v = 0;
        if (!ParseFloat(text, &v))
            return *why = "expects a number, got " + shown, CAM_ERR_WRONG_TYPE;
        if (v < info.floatMinimum)
            return *why = shown + " is below the minimum " + FloatText(info.floatMinimum) + Unit(info),
                   CAM_ERR_INVALID_VALUE;
        if (v > info.floatMaximum)
            return *why = shown + " is above the maximum " + FloatText(info.floatMaximum) + Unit(info),
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
        if (text == "true" || text == "1" || text == "on")
            return *canonical = "true", CAM_OK;
        if (text == "false" || text == "0" || text == "off")
            return *canonical = "false", CAM_OK;
        return *why = "expects true or false, got " + shown, CAM_ERR_WRONG_TYPE;
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
