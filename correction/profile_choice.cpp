#include "correction/profile_choice.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>

namespace velmora {
namespace {

// Cameras and lenses write their names with varying case and spacing ("NIKON CORPORATION",
// "Nikon Corporation "); they are the same name.
std::string Normalised(const std::string& name) {
    std::string out;
    for (const char c : name) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else {
            out += char(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// Two f-numbers closer than a tenth of a stop (f/5.6 is written 5.6 or 28/5) are the same
// aperture; one third of a stop apart is 0.17 in log2.
constexpr double kSameFNumber = 0.05;  // in log2 f-number
// Zooms report focal lengths in whole millimetres; within 1 % is the same setting.
constexpr double kSameFocalLength = 0.01;   // in natural log
constexpr double kSameFocusDistance = 0.1;  // in natural log

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", std::round(value * 100) / 100);
    return text;
}

// One setting's neighbours among the measured ones (sorted, distinct): the same, the two
// around it with weights linear in `scale` (a logarithm), or the nearest outside.
struct Bracket {
    std::vector<std::pair<double, double>> values;  // measured value, weight
    bool outside = false;
};

Bracket Around(double wanted, const std::vector<double>& measured, double same,
               double (*scale)(double)) {
    Bracket bracket;
    const double at = scale(wanted);
    for (const double value : measured) {
        if (std::abs(scale(value) - at) <= same) {
            bracket.values = {{value, 1.0}};
            return bracket;
        }
    }
    if (wanted < measured.front() || wanted > measured.back()) {
        bracket.values = {{wanted < measured.front() ? measured.front() : measured.back(), 1.0}};
        bracket.outside = true;
        return bracket;
    }
    const auto above = std::upper_bound(measured.begin(), measured.end(), wanted);
    const double high = *above;
    const double low = *(above - 1);
    const double toHigh = (scale(high) - at) / (scale(high) - scale(low));
    bracket.values = {{low, toHigh}, {high, 1.0 - toHigh}};
    return bracket;
}

double Log2(double x) {
    return std::log2(x);
}

double Ln(double x) {
    return std::log(x);
}

std::vector<double> Distinct(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    return values;
}

std::string Range(const std::vector<double>& values, std::string (*text)(double)) {
    return values.size() == 1 ? text(values.front())
                              : text(values.front()) + " to " + text(values.back());
}

std::vector<double> Known(std::vector<double> measured) {
    std::erase_if(measured, [](double value) { return value <= 0; });
    return measured;
}

// The measured values (sorted, distinct; zero for unknown) that serve `wanted`: the one
// measured when nothing else tells them apart, else as Around finds them among the known ones.
Bracket Choose(double wanted, const std::vector<double>& measured, double same,
               double (*scale)(double)) {
    const std::vector<double> known = Known(measured);
    if (wanted <= 0 || known.empty()) return Bracket{{{measured.front(), 1.0}}, false};
    return Around(wanted, known, same, scale);
}

// Among profiles measured at the same settings, the one focused nearest the picture's distance;
// the first when that is unknown.
int Closest(const std::vector<int>& same, const ShotSettings& shot,
            const std::vector<ShotSettings>& library) {
    int best = same.front();
    double bestDistance = std::numeric_limits<double>::infinity();
    for (const int index : same) {
        const double focus = library[std::size_t(index)].focusDistance;
        if (shot.focusDistance <= 0 || focus <= 0) continue;
        const double distance = std::abs(std::log(focus / shot.focusDistance));
        if (distance < bestDistance) {
            bestDistance = distance;
            best = index;
        }
    }
    return best;
}

}  // namespace

ProfileChoice ChooseProfiles(const ShotSettings& shot, const std::vector<ShotSettings>& library,
                             bool cubic) {
    ProfileChoice choice;
    const std::string camera = Normalised(shot.make + ' ' + shot.model);
    if (camera.empty()) {
        choice.missing = shot == ShotSettings{} ? "it records no EXIF of camera, lens and aperture"
                                                : "it records no camera make and model";
        return choice;
    }
    const std::string lens = Normalised(shot.lens);
    std::vector<int> candidates;
    for (std::size_t i = 0; i < library.size(); ++i) {
        const ShotSettings& profile = library[i];
        if (Normalised(profile.make + ' ' + profile.model) == camera &&
            Normalised(profile.lens) == lens) {
            candidates.push_back(int(i));
        }
    }
    const std::string named =
        "camera \"" + shot.make + ' ' + shot.model + "\" with " +
        (lens.empty() ? std::string("no lens name") : "lens \"" + shot.lens + '"');
    if (candidates.empty()) {
        choice.missing = "no profile of " + named;
        return choice;
    }

    // Focal lengths first (a zoom's settings), then the f-numbers measured at each.
    std::vector<double> focals;
    for (const int i : candidates)
        focals.push_back(library[std::size_t(i)].focalLength);
    focals = Distinct(focals);
    if (focals.size() > 1 && shot.focalLength <= 0) {
        choice.missing = "it records no focal length, and the profiles of " + named + " are of " +
                         Range(Known(focals), FocalText);
        return choice;
    }
    const Bracket focal = Choose(shot.focalLength, focals, kSameFocalLength, Ln);
    if (focal.outside) {
        const double took = focal.values.front().first;
        choice.warning = FocalText(shot.focalLength) +
                         " lies outside the focal lengths measured (" +
                         Range(Known(focals), FocalText) + "); took " + FocalText(took) + ", " +
                         Number(100 * std::abs(took / shot.focalLength - 1)) + " % away";
    }
    for (const auto& [measuredFocal, focalWeight] : focal.values) {
        const double focalLength = measuredFocal;  // lambdas cannot take a structured binding
        std::vector<double> apertures;
        for (const int i : candidates) {
            if (library[std::size_t(i)].focalLength == focalLength) {
                apertures.push_back(library[std::size_t(i)].fNumber);
            }
        }
        apertures = Distinct(apertures);
        if (apertures.size() > 1 && shot.fNumber <= 0) {
            choice.parts.clear();
            choice.missing = "it records no f-number, and the profiles of " + named + " are of " +
                             Range(Known(apertures), FNumberText);
            return choice;
        }
        const Bracket aperture = Choose(shot.fNumber, apertures, kSameFNumber, Log2);
        if (aperture.outside) {
            const double took = aperture.values.front().first;
            if (!choice.warning.empty()) choice.warning += "; ";
            choice.warning += FNumberText(shot.fNumber) + " lies outside the f-numbers measured" +
                              (focalLength > 0 ? " at " + FocalText(focalLength) : "") + " (" +
                              Range(Known(apertures), FNumberText) + "); took " +
                              FNumberText(took) + ", " +
                              Number(2 * std::abs(std::log2(took / shot.fNumber))) + " stops away";
        }
        const auto profileAt = [&](double fNumber) {
            std::vector<int> same;
            for (const int i : candidates) {
                const ShotSettings& profile = library[std::size_t(i)];
                if (profile.focalLength == focalLength && profile.fNumber == fNumber) {
                    same.push_back(i);
                }
            }
            return Closest(same, shot, library);
        };
        // Between two of three or more measured f-numbers, at one focal length: the monotone
        // cubic through the neighbours and the next one on each side.
        const std::vector<double> known = Known(apertures);
        if (cubic && focal.values.size() == 1 && aperture.values.size() == 2 && known.size() >= 3) {
            const auto low = std::find(known.begin(), known.end(), aperture.values[0].first);
            const auto from = low == known.begin() ? low : low - 1;
            const auto to = std::min(known.end(), low + 3);
            for (auto node = from; node != to; ++node) {
                const double weight = node == low       ? aperture.values[0].second
                                      : node == low + 1 ? aperture.values[1].second
                                                        : 0.0;
                choice.parts.push_back({profileAt(*node), weight});
                choice.cubicNodes.push_back(std::log2(*node));
            }
            choice.cubicAt = std::log2(shot.fNumber);
            return choice;
        }
        for (const auto& [fNumber, apertureWeight] : aperture.values)
            choice.parts.push_back({profileAt(fNumber), focalWeight * apertureWeight});
    }
    return choice;
}

}  // namespace velmora

namespace velmora {

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
        camera = Normalised(shot.model).rfind(Normalised(shot.make), 0) == 0
                     ? shot.model
                     : camera + (camera.empty() ? "" : " ") + shot.model;
    }
    if (!camera.empty()) parts.push_back(camera);
    if (!shot.lens.empty()) parts.push_back(shot.lens);
    if (shot.focalLength > 0) parts.push_back(FocalText(shot.focalLength));
    if (shot.fNumber > 0) parts.push_back(FNumberText(shot.fNumber));
    if (shot.focusDistance > 0) parts.push_back(Number(shot.focusDistance) + " m");
    std::string text;
    for (const std::string& part : parts)
        text += (text.empty() ? "" : ", ") + part;
    return text.empty() ? "no camera or lens recorded" : text;
}

std::vector<std::string> DifferingSettings(const ShotSettings& a, const ShotSettings& b) {
    const auto sameNumber = [](double x, double y, double same, double (*scale)(double)) {
        if (x <= 0 || y <= 0) return x <= 0 && y <= 0;
        return std::abs(scale(x) - scale(y)) <= same;
    };
    std::vector<std::string> differ;
    if (Normalised(a.make) != Normalised(b.make)) differ.push_back("camera make");
    if (Normalised(a.model) != Normalised(b.model)) differ.push_back("camera model");
    if (Normalised(a.lens) != Normalised(b.lens)) differ.push_back("lens");
    if (!sameNumber(a.focalLength, b.focalLength, kSameFocalLength, Ln)) {
        differ.push_back("focal length");
    }
    if (!sameNumber(a.fNumber, b.fNumber, kSameFNumber, Log2)) differ.push_back("f-number");
    // Focus is reported to a tenth or so; a card shot twice from one place may read 1.2 and 1.3 m.
    if (!sameNumber(a.focusDistance, b.focusDistance, kSameFocusDistance, Ln)) {
        differ.push_back("focus distance");
    }
    return differ;
}

}  // namespace velmora
