#include "engine/shot_text.h"

#include <cmath>
#include <cstdio>

namespace velmora {
namespace {

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", std::round(value * 100) / 100);
    return text;
}

std::string Range(const std::vector<double>& values, std::string (*text)(double)) {
    return values.size() == 1 ? text(values.front())
                              : text(values.front()) + " to " + text(values.back());
}

std::string Joined(const std::vector<std::string>& parts, const char* between) {
    std::string text;
    for (const std::string& part : parts)
        text += (text.empty() ? "" : between) + part;
    return text;
}

}  // namespace

std::string FNumberText(double fNumber) {
    return "f/" + Number(fNumber);
}

std::string FocalText(double millimetres) {
    return Number(millimetres) + " mm";
}

std::string DescribeShot(const ShotSettings& shot) {
    std::vector<std::string> parts;
    std::string camera = shot.make;
    // Many cameras repeat the make in the model: "Canon" + "Canon EOS R5".
    if (!shot.model.empty()) {
        camera = NormalisedName(shot.model).rfind(NormalisedName(shot.make), 0) == 0
                     ? shot.model
                     : camera + (camera.empty() ? "" : " ") + shot.model;
    }
    if (!camera.empty()) parts.push_back(camera);
    if (!shot.lens.empty()) parts.push_back(shot.lens);
    if (shot.focalLength > 0) parts.push_back(FocalText(shot.focalLength));
    if (shot.fNumber > 0) parts.push_back(FNumberText(shot.fNumber));
    if (shot.focusDistance > 0) parts.push_back(Number(shot.focusDistance) + " m");
    return parts.empty() ? "no camera or lens recorded" : Joined(parts, ", ");
}

std::string SettingName(ShotSetting setting) {
    switch (setting) {
        case ShotSetting::Make:
            return "camera make";
        case ShotSetting::Model:
            return "camera model";
        case ShotSetting::Lens:
            return "lens";
        case ShotSetting::FocalLength:
            return "focal length";
        case ShotSetting::FNumber:
            return "f-number";
        case ShotSetting::FocusDistance:
            return "focus distance";
    }
    return "setting";
}

std::vector<std::string> SettingNames(const std::vector<ShotSetting>& settings) {
    std::vector<std::string> names;
    for (const ShotSetting setting : settings)
        names.push_back(SettingName(setting));
    return names;
}

std::string LackText(const ProfileChoice& choice, const ShotSettings& shot) {
    const std::string named = "camera \"" + shot.make + ' ' + shot.model + "\" with " +
                              (NormalisedName(shot.lens).empty() ? std::string("no lens name")
                                                                 : "lens \"" + shot.lens + '"');
    switch (choice.lack) {
        case ProfileChoice::Lack::Exif:
            return "it records no EXIF of camera, lens and aperture";
        case ProfileChoice::Lack::Camera:
            return "it records no camera make and model";
        case ProfileChoice::Lack::Profile:
            return "no profile of " + named;
        case ProfileChoice::Lack::FocalLength:
            return "it records no focal length, and the profiles of " + named + " are of " +
                   Range(choice.measured, FocalText);
        case ProfileChoice::Lack::FNumber:
            return "it records no f-number, and the profiles of " + named + " are of " +
                   Range(choice.measured, FNumberText);
        case ProfileChoice::Lack::Nothing:
            break;
    }
    return {};
}

std::string OutsideText(const ProfileChoice& choice) {
    std::vector<std::string> warnings;
    for (const ProfileChoice::Outside& outside : choice.outside) {
        if (!outside.fNumber) {
            warnings.push_back(
                FocalText(outside.wanted) + " lies outside the focal lengths measured (" +
                Range(outside.measured, FocalText) + "); took " + FocalText(outside.took) + ", " +
                Number(100 * std::abs(outside.took / outside.wanted - 1)) + " % away");
            continue;
        }
        warnings.push_back(
            FNumberText(outside.wanted) + " lies outside the f-numbers measured" +
            (outside.atFocalLength > 0 ? " at " + FocalText(outside.atFocalLength) : "") + " (" +
            Range(outside.measured, FNumberText) + "); took " + FNumberText(outside.took) + ", " +
            Number(2 * std::abs(std::log2(outside.took / outside.wanted))) + " stops away");
    }
    return Joined(warnings, "; ");
}

}  // namespace velmora
