// The feature table and the rules between features: auto modes make their
// value read-only, the rate is writable only when enabled, the region
// bounds each other, and the picture's shape is fixed while capturing.
#include "camsimcontrols.h"

#include "camfeature.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace cam {
namespace {

struct Entry {
    const char* name;
    const char* category;
    int32_t type;
    int32_t visibility;
    const char* unit;
    const char* description;
};

constexpr int32_t B = CAM_VISIBILITY_BEGINNER, E = CAM_VISIBILITY_EXPERT, G = CAM_VISIBILITY_GURU;

// In the order a settings file applies them: selectors and modes before
// what they enable, region size before offset.
const Entry kFeatures[] = {
    {"DeviceControl", "Root", CAM_TYPE_CATEGORY, B, "", "The camera itself."},
    {"ImageFormatControl", "Root", CAM_TYPE_CATEGORY, B, "", "Size, region and format of the picture."},
    {"AcquisitionControl", "Root", CAM_TYPE_CATEGORY, B, "", "How frames are taken."},
    {"AnalogControl", "Root", CAM_TYPE_CATEGORY, B, "", "Gain and black level."},
    {"TransportLayerControl", "Root", CAM_TYPE_CATEGORY, E, "", "How frames travel."},
    {"LensControl", "Root", CAM_TYPE_CATEGORY, B, "", "The lens."},
    {"DeviceVendorName", "DeviceControl", CAM_TYPE_STRING, B, "", "Who made the camera."},
    {"DeviceModelName", "DeviceControl", CAM_TYPE_STRING, B, "", "The camera's model."},
    {"DeviceSerialNumber", "DeviceControl", CAM_TYPE_STRING, E, "", "The camera's serial number."},
    {"DeviceFirmwareVersion", "DeviceControl", CAM_TYPE_STRING, E, "", "The camera's firmware version."},
    {"TimestampLatch", "DeviceControl", CAM_TYPE_COMMAND, E, "", "Copies the camera's clock to TimestampLatchValue."},
    {"TimestampLatchValue", "DeviceControl", CAM_TYPE_INTEGER, E, "ns", "The camera's clock when last latched."},
    {"TimestampReset", "DeviceControl", CAM_TYPE_COMMAND, E, "", "Sets the camera's clock to 0."},
    {"SensorWidth", "ImageFormatControl", CAM_TYPE_INTEGER, E, "px", "Width of the sensor."},
    {"SensorHeight", "ImageFormatControl", CAM_TYPE_INTEGER, E, "px", "Height of the sensor."},
    {"PixelFormat", "ImageFormatControl", CAM_TYPE_ENUMERATION, B, "", "How pixels are laid out in a frame."},
    {"Width", "ImageFormatControl", CAM_TYPE_INTEGER, B, "px", "Width of the picture sent."},
    {"Height", "ImageFormatControl", CAM_TYPE_INTEGER, B, "px", "Height of the picture sent."},
    {"OffsetX", "ImageFormatControl", CAM_TYPE_INTEGER, B, "px", "Left edge of the region on the sensor."},
    {"OffsetY", "ImageFormatControl", CAM_TYPE_INTEGER, B, "px", "Top edge of the region on the sensor."},
    {"ReverseX", "ImageFormatControl", CAM_TYPE_BOOLEAN, E, "", "Mirrors the picture left to right."},
    {"ReverseY", "ImageFormatControl", CAM_TYPE_BOOLEAN, E, "", "Mirrors the picture top to bottom."},
    {"TestPattern", "ImageFormatControl", CAM_TYPE_ENUMERATION, G, "", "A fixed picture instead of the scene."},
    {"AcquisitionMode", "AcquisitionControl", CAM_TYPE_ENUMERATION, B, "", "One frame or a stream."},
    {"AcquisitionStart", "AcquisitionControl", CAM_TYPE_COMMAND, B, "", "Starts taking frames."},
    {"AcquisitionStop", "AcquisitionControl", CAM_TYPE_COMMAND, B, "", "Stops taking frames."},
    {"TriggerSelector", "AcquisitionControl", CAM_TYPE_ENUMERATION, E, "",
     "Which trigger the other trigger features set: of each frame, or of the acquisition."},
    {"TriggerMode", "AcquisitionControl", CAM_TYPE_ENUMERATION, B, "",
     "Whether the selected trigger starts frames (On) or the camera runs free (Off)."},
    {"TriggerSource", "AcquisitionControl", CAM_TYPE_ENUMERATION, B, "",
     "What fires the selected trigger: TriggerSoftware or an input line."},
    {"TriggerActivation", "AcquisitionControl", CAM_TYPE_ENUMERATION, E, "",
     "Which edge of the input line fires the trigger."},
    {"TriggerDelay", "AcquisitionControl", CAM_TYPE_FLOAT, E, "us", "Time from the trigger to the exposure."},
    {"TriggerSoftware", "AcquisitionControl", CAM_TYPE_COMMAND, B, "", "Fires the selected trigger."},
    {"AcquisitionFrameRateEnable", "AcquisitionControl", CAM_TYPE_BOOLEAN, E, "",
     "Whether AcquisitionFrameRate sets the rate."},
    {"AcquisitionFrameRate", "AcquisitionControl", CAM_TYPE_FLOAT, B, "Hz", "Frames a second while streaming."},
    {"ExposureAuto", "AcquisitionControl", CAM_TYPE_ENUMERATION, B, "",
     "Sets the exposure for a mid-grey picture: once, or all the time."},
    {"ExposureTime", "AcquisitionControl", CAM_TYPE_FLOAT, B, "us", "How long each frame is exposed."},
    {"GainSelector", "AnalogControl", CAM_TYPE_ENUMERATION, B, "",
     "Which gain Gain sets: of all channels, or of one colour on top of it."},
    {"GainAuto", "AnalogControl", CAM_TYPE_ENUMERATION, B, "", "Sets the gain of all channels for a mid-grey picture."},
    {"Gain", "AnalogControl", CAM_TYPE_FLOAT, B, "dB", "Amplification of the sensor's signal."},
    {"BlackLevel", "AnalogControl", CAM_TYPE_FLOAT, E, "DN", "Level added to every sample, in 8-bit levels."},
    {"PayloadSize", "TransportLayerControl", CAM_TYPE_INTEGER, E, "B", "Bytes a frame takes."},
    {"GevSCPSPacketSize", "TransportLayerControl", CAM_TYPE_INTEGER, G, "B", "Size of the stream's packets."},
    {"FocusPosition", "LensControl", CAM_TYPE_INTEGER, B, "", "Where the lens is focused: the picture is sharpest at one position."},
};

const Entry* Find(const std::string& name)
{
    for (const Entry& e : kFeatures)
        if (name == e.name)
            return &e;
    return nullptr;
}

const std::vector<std::string> kAutoModes = {"Off", "Once", "Continuous"};
const std::vector<std::string> kGainSelectors = {"All", "Red", "Green", "Blue"};
const std::vector<std::string> kTriggerSelectors = {"FrameStart", "AcquisitionStart"};

}  // namespace

SimControls::SimControls(SimSettings& settings, std::string& pixelFormat, int64_t index)
    : s_(settings), format_(pixelFormat), sensorWidth_(settings.width), sensorHeight_(settings.height)
{
    char serial[32];
    std::snprintf(serial, sizeof serial, "SIM%05lld", static_cast<long long>(index));
    serial_ = serial;
}

bool SimControls::Has(const std::string& name) const
{
    return Find(name) && Find(name)->type != CAM_TYPE_CATEGORY;
}

CamError SimControls::Describe(const std::string& name, FeatureDescription* d) const
{
    const Entry* e = Find(name);
    if (!e)
        return CAM_ERR_NOT_FOUND;
    *d = {};
    d->name = d->displayName = e->name;
    d->description = e->description;
    d->unit = e->unit;
    d->type = e->type;
    d->visibility = e->visibility;
    d->access = e->type == CAM_TYPE_CATEGORY  ? CAM_ACCESS_NONE
                : e->type == CAM_TYPE_COMMAND ? CAM_ACCESS_WRITE
                                              : CAM_ACCESS_READ_WRITE;
    auto range = [&](int64_t low, int64_t high, int64_t step) {
        d->intMinimum = low, d->intMaximum = high, d->intIncrement = step;
    };
    auto floats = [&](double low, double high) { d->floatMinimum = low, d->floatMaximum = high; };
    const bool shapeFixed = capturing;
    if (e->type == CAM_TYPE_STRING || name == "SensorWidth" || name == "SensorHeight" || name == "PayloadSize" ||
        name == "TimestampLatchValue")
        d->access = CAM_ACCESS_READ;
    if (name == "SensorWidth")
        range(sensorWidth_, sensorWidth_, 1);
    else if (name == "SensorHeight")
        range(sensorHeight_, sensorHeight_, 1);
    else if (name == "PayloadSize")
        range(0, 0, 1);  // the device knows it
    else if (name == "Width")
        range(8, sensorWidth_ - offsetX_, 4);
    else if (name == "Height")
        range(2, sensorHeight_ - offsetY_, 2);
    else if (name == "OffsetX")
        range(0, sensorWidth_ - s_.width, 4);
    else if (name == "OffsetY")
        range(0, sensorHeight_ - s_.height, 2);
    else if (name == "GevSCPSPacketSize")
        range(576, 9000, 4);
    else if (name == "FocusPosition")
        range(0, kSimFocusRange, 1);
    else if (name == "ExposureTime")
        floats(10, 1000000);
    else if (name == "Gain")
        floats(0, 24);
    else if (name == "BlackLevel")
        floats(0, 64);
    else if (name == "AcquisitionFrameRate")
        floats(1, 1000);
    else if (name == "PixelFormat")
        d->entries = s_.formats;
    else if (name == "TestPattern")
        d->entries = {"Off", "Black", "White"};
    else if (name == "AcquisitionMode")
        d->entries = {"Continuous", "SingleFrame"};
    else if (name == "ExposureAuto" || name == "GainAuto")
        d->entries = kAutoModes;
    else if (name == "GainSelector") {
        d->entries = kGainSelectors;
        d->selected = {"Gain"};
    } else if (name == "TriggerSelector") {
        d->entries = kTriggerSelectors;
        d->selected = {"TriggerMode", "TriggerSource", "TriggerActivation", "TriggerDelay", "TriggerSoftware"};
    } else if (name == "TriggerMode")
        d->entries = {"Off", "On"};
    else if (name == "TriggerSource")
        d->entries = {"Software", "Line0", "Line1"};
    else if (name == "TriggerActivation")
        d->entries = {"RisingEdge", "FallingEdge"};
    else if (name == "TriggerDelay")
        floats(0, 1000000);
    else if (name == "TimestampLatchValue")
        range(0, INT64_MAX, 1);
    if ((name == "Width" || name == "Height" || name == "OffsetX" || name == "OffsetY" || name == "PixelFormat" ||
         name == "ReverseX" || name == "ReverseY") &&
        shapeFixed)
        d->access = CAM_ACCESS_READ;
    if ((name == "ExposureTime" && exposureAuto_ == "Continuous") || (name == "Gain" && gainAuto_ == "Continuous" && gainSelector_ == "All") ||
        (name == "AcquisitionFrameRate" && !rateEnable_))
        d->access = CAM_ACCESS_READ;
    // A sensor too small for any region leaves none to choose.
    if (d->type == CAM_TYPE_INTEGER && d->intMaximum < d->intMinimum && d->access == CAM_ACCESS_READ_WRITE)
        d->access = CAM_ACCESS_READ;
    return CAM_OK;
}

CamError SimControls::Children(const std::string& category, std::vector<std::string>* names) const
{
    const Entry* e = Find(category);
    if (category != "Root" && (!e || e->type != CAM_TYPE_CATEGORY))
        return e ? CAM_ERR_WRONG_TYPE : CAM_ERR_NOT_FOUND;
    names->clear();
    for (const Entry& f : kFeatures)
        if (category == f.category)
            names->push_back(f.name);
    return CAM_OK;
}

double SimControls::AutoExposure() const
{
    return std::clamp(10000 / std::pow(10, gains_[0] / 20), 10.0, 1e6);
}

size_t SimControls::Selected() const
{
    const auto at = std::find(kGainSelectors.begin(), kGainSelectors.end(), gainSelector_);
    return at == kGainSelectors.end() ? 0 : size_t(at - kGainSelectors.begin());
}

CamError SimControls::GetText(const std::string& name, std::string* text) const
{
    const Entry* e = Find(name);
    if (!e)
        return CAM_ERR_NOT_FOUND;
    auto whole = [&](int64_t v) { *text = std::to_string(v); };
    auto real = [&](double v) { *text = FloatText(v); };
    auto yes = [&](bool v) { *text = v ? "true" : "false"; };
    if (name == "DeviceVendorName")
        *text = "Tarvik";
    else if (name == "DeviceModelName")
        *text = "Simulated camera";
    else if (name == "DeviceSerialNumber")
        *text = serial_;
    else if (name == "DeviceFirmwareVersion")
        *text = "1.0";
    else if (name == "SensorWidth")
        whole(sensorWidth_);
    else if (name == "SensorHeight")
        whole(sensorHeight_);
    else if (name == "Width")
        whole(s_.width);
    else if (name == "Height")
        whole(s_.height);
    else if (name == "OffsetX")
        whole(offsetX_);
    else if (name == "OffsetY")
        whole(offsetY_);
    else if (name == "PixelFormat")
        *text = format_;
    else if (name == "ReverseX")
        yes(reverseX_);
    else if (name == "ReverseY")
        yes(reverseY_);
    else if (name == "TestPattern")
        *text = testPattern_;
    else if (name == "AcquisitionMode")
        *text = acquisitionMode_;
    else if (name == "AcquisitionFrameRateEnable")
        yes(rateEnable_);
    else if (name == "ExposureAuto")
        *text = exposureAuto_;
    else if (name == "ExposureTime")
        real(exposureAuto_ == "Continuous" ? AutoExposure() : exposure_);
    else if (name == "GainAuto")
        *text = gainAuto_;
    else if (name == "GainSelector")
        *text = gainSelector_;
    else if (name == "Gain")
        real(gains_[Selected()]);
    else if (name == "BlackLevel")
        real(blackLevel_);
    else if (name == "GevSCPSPacketSize")
        whole(packetSize_);
    else if (name == "FocusPosition")
        whole(focus_);
    else if (name == "TriggerSelector")
        *text = kTriggerSelectors[triggerSelector_];
    else if (name == "TriggerMode")
        *text = triggers_[triggerSelector_].on ? "On" : "Off";
    else if (name == "TriggerSource")
        *text = triggers_[triggerSelector_].source;
    else if (name == "TriggerActivation")
        *text = triggers_[triggerSelector_].falling ? "FallingEdge" : "RisingEdge";
    else if (name == "TriggerDelay")
        real(triggers_[triggerSelector_].delayUs);
    else
        return e->type == CAM_TYPE_CATEGORY || e->type == CAM_TYPE_COMMAND ? CAM_ERR_WRONG_TYPE
                                                                           : CAM_ERR_NOT_IMPLEMENTED;
    return CAM_OK;
}

CamError SimControls::SetText(const std::string& name, const std::string& text)
{
    auto whole = [&] { return std::strtoll(text.c_str(), nullptr, 10); };
    auto real = [&] { return std::strtod(text.c_str(), nullptr); };
    if (name == "Width")
        s_.width = whole();
    else if (name == "Height")
        s_.height = whole();
    else if (name == "OffsetX")
        offsetX_ = whole();
    else if (name == "OffsetY")
        offsetY_ = whole();
    else if (name == "PixelFormat")
        format_ = text;
    else if (name == "ReverseX")
        reverseX_ = text == "true";
    else if (name == "ReverseY")
        reverseY_ = text == "true";
    else if (name == "TestPattern")
        testPattern_ = text;
    else if (name == "AcquisitionMode")
        acquisitionMode_ = text;
    else if (name == "AcquisitionFrameRateEnable")
        rateEnable_ = text == "true";
    else if (name == "AcquisitionFrameRate")
        rate_ = real();
    else if (name == "ExposureTime")
        exposure_ = real();
    else if (name == "GainSelector")
        gainSelector_ = text;
    else if (name == "Gain")
        gains_[Selected()] = real();
    else if (name == "BlackLevel")
        blackLevel_ = real();
    else if (name == "GevSCPSPacketSize")
        packetSize_ = whole();
    else if (name == "FocusPosition")
        focus_ = whole();
    else if (name == "TriggerSelector")
        triggerSelector_ = text == kTriggerSelectors[1] ? 1 : 0;
    else if (name == "TriggerMode")
        triggers_[triggerSelector_].on = text == "On";
    else if (name == "TriggerSource")
        triggers_[triggerSelector_].source = text;
    else if (name == "TriggerActivation")
        triggers_[triggerSelector_].falling = text == "FallingEdge";
    else if (name == "TriggerDelay")
        triggers_[triggerSelector_].delayUs = real();
    else if (name == "ExposureAuto") {
        // Once settles the exposure and goes back to Off.
        if (text != "Off")
            exposure_ = AutoExposure();
        exposureAuto_ = text == "Once" ? "Off" : text;
    } else if (name == "GainAuto") {
        if (text != "Off")
            gains_[0] = std::clamp(20 * std::log10(10000 / exposure_), 0.0, 24.0);
        gainAuto_ = text == "Once" ? "Off" : text;
    } else
        return CAM_ERR_NOT_IMPLEMENTED;  // commands are the device's
    return CAM_OK;
}

double SimControls::Exposure() const
{
    return exposureAuto_ == "Continuous" ? AutoExposure() : exposure_;
}

double SimControls::Rate(double payloadRate) const
{
    if (rateEnable_)
        return rate_;
    return s_.rate > 0 ? s_.rate : payloadRate;
}

SimTone SimControls::Tone() const
{
    const double exposure = exposureAuto_ == "Continuous" ? AutoExposure() : exposure_;
    auto times = [](double dB) { return std::pow(10, dB / 20); };
    return {exposure / 10000 * times(gains_[0]), blackLevel_, reverseX_,
            {times(gains_[3]), times(gains_[2]), times(gains_[1])},
            double(std::llabs(focus_ - kSimFocusBest)) / double(kSimFocusRange)};
}

SimLook SimControls::Look() const
{
    if (testPattern_ == "Black")
        return SimLook::Black;
    if (testPattern_ == "White")
        return SimLook::White;
    return s_.look;
}

}  // namespace cam
