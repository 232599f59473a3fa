// The simulated camera's features, with SFNC names and categories: what
// they are, which may be written now, and what the picture and the stream
// take from them (brightness, rate, test pattern, size, focus).
#pragma once

#include "camsim.h"
#include "camsource.h"

#include <string>
#include <vector>

namespace cam {

class SimControls {
public:
    // settings and pixelFormat are the device's own: Width, Height and
    // PixelFormat live there, as the rest of the camera reads them.
    SimControls(SimSettings& settings, std::string& pixelFormat, int64_t index);

    CamError Describe(const std::string& name, FeatureDescription* d) const;
    CamError Children(const std::string& category, std::vector<std::string>* names) const;
    CamError GetText(const std::string& name, std::string* text) const;
    CamError SetText(const std::string& name, const std::string& text);  // checked against Describe
    bool Has(const std::string& name) const;

    // While frames are captured the picture's size and format stay as they are.
    bool capturing = false;

    // The part of the sensor's picture that is sent: from OffsetX, OffsetY,
    // Width x Height of SensorWidth x SensorHeight, upside down with ReverseY.
    struct Region {
        int64_t sensorWidth, sensorHeight, offsetX, offsetY;
        bool reverseY;
    };
    Region SensorRegion() const { return {sensorWidth_, sensorHeight_, offsetX_, offsetY_, reverseY_}; }

    // A trigger as TriggerSelector's entry sets it: of each frame, or of the acquisition.
    enum TriggerKind { FrameStart = 0, AcquisitionStart = 1 };
    struct Trigger {
        bool on = false;
        std::string source = "Software";  // Software, Line0, Line1
        bool falling = false;             // TriggerActivation FallingEdge
        double delayUs = 0;
    };
    const Trigger& TriggerOf(TriggerKind kind) const { return triggers_[kind]; }
    TriggerKind SelectedTrigger() const { return TriggerKind(triggerSelector_); }

    double Exposure() const;                // us
    double Rate(double payloadRate) const;  // frames a second while streaming
    SimTone Tone() const;                   // exposure, gain, black level and ReverseX on the picture
    SimLook Look() const;

private:
    double AutoExposure() const;

    SimSettings& s_;
    std::string& format_;
    int64_t sensorWidth_, sensorHeight_;
    std::string serial_;
    int64_t offsetX_ = 0, offsetY_ = 0;
    bool reverseX_ = false, reverseY_ = false;
    std::string testPattern_ = "Off", acquisitionMode_ = "Continuous";
    std::string exposureAuto_ = "Off", gainAuto_ = "Off";
    double exposure_ = 10000, blackLevel_ = 0;
    // Gain by GainSelector's entry: of all channels, then each colour's on top.
    std::string gainSelector_ = "All";
    double gains_[4] = {0, 0, 0, 0};  // All, Red, Green, Blue
    size_t Selected() const;          // gainSelector_'s place in gains_
    bool rateEnable_ = false;
    double rate_ = 30;
    int64_t packetSize_ = 1500;
    int64_t focus_ = kSimFocusBest;
    int triggerSelector_ = FrameStart;
    Trigger triggers_[2];
};

}  // namespace cam
