#pragma once

#include <string>
#include <vector>

#include "correction/lens_profile.h"
#include "correction/profile_choice.h"

namespace velmora {

// "Canon EOS R5, RF24-105mm F4 L IS USM, 50 mm, f/5.6, 2 m": what is known of the shot.
std::string DescribeShot(const ShotSettings& shot);
std::string FNumberText(double fNumber);    // "f/2.8"
std::string FocalText(double millimetres);  // "50 mm"

// "camera make", "f-number", ...
std::string SettingName(ShotSetting setting);
std::vector<std::string> SettingNames(const std::vector<ShotSetting>& settings);

// Why no profile serves the picture taken with `shot`, when `choice` has no parts: "no profile
// of camera "Canon EOS R6" with lens "RF50mm F1.2"".
std::string LackText(const ProfileChoice& choice, const ShotSettings& shot);

// Where the picture lies outside what the library measured, empty where it does not: "f/8
// lies outside the f-numbers measured at 50 mm (f/1.4 to f/4); took f/4, 2 stops away".
std::string OutsideText(const ProfileChoice& choice);

}  // namespace velmora
