// Feature values as text, shared by the camera library (which checks every
// value set) and the programs that use it (which say what was refused and
// why): parsing by type, range, increment and entries; names of types,
// access and visibility.
#pragma once

#include "cam.h"

#include <string>
#include <string_view>

namespace cam {

// Checks text as a value of the feature described. CAM_OK with *canonical
// the value as CamFeatureValueGet writes it; otherwise CAM_ERR_WRONG_TYPE
// or CAM_ERR_INVALID_VALUE, and *why says what the feature accepts, e.g.
// "5000000 is above the maximum 1000000 us". Access is not checked here.
CamError CheckFeatureValue(const CamFeatureInfo& info, const std::string& text, std::string* canonical,
                           std::string* why);

// Numbers as feature values take them, for other numbers people type (the
// command line's options): a whole number in decimal (an optional sign,
// leading zeros still decimal), and a number in decimal notation with an
// optional exponent. No spaces, other bases, inf or nan; false for text
// that is not one, and for a whole number past the 64-bit range.
bool ParseWholeNumber(std::string_view text, int64_t* v);
bool ParseNumber(std::string_view text, double* v);

// The shortest decimal text that reads back as v; -0 is "0".
std::string FloatText(double v);
// v as a feature of that representation writes it: decimal, or for
// CAM_REPRESENTATION_HEX 0x and lower-case hex digits ("-0x10" below 0).
std::string IntText(int64_t v, int32_t representation);

const char* FeatureTypeName(int32_t type);              // "integer", "float", "enumeration" ...
const char* FeatureAccessName(int32_t access);          // "read/write", "read-only", "write-only", "not available"
const char* FeatureVisibilityName(int32_t visibility);  // "beginner", "expert", "guru", "invisible"

}  // namespace cam
