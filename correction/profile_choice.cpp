#include "correction/profile_choice.h"

#include <algorithm>
#include <cctype>
#include <cmath>
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
        choice.lack =
            shot == ShotSettings{} ? ProfileChoice::Lack::Exif : ProfileChoice::Lack::Camera;
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
    if (candidates.empty()) {
        choice.lack = ProfileChoice::Lack::Profile;
        return choice;
    }

    // Focal lengths first (a zoom's settings), then the f-numbers measured at each.
    std::vector<double> focals;
    for (const int i : candidates)
        focals.push_back(library[std::size_t(i)].focalLength);
    focals = Distinct(focals);
    if (focals.size() > 1 && shot.focalLength <= 0) {
        choice.lack = ProfileChoice::Lack::FocalLength;
        choice.measured = Known(focals);
        return choice;
    }
    const Bracket focal = Choose(shot.focalLength, focals, kSameFocalLength, Ln);
    if (focal.outside) {
        choice.outside.push_back(
            {false, shot.focalLength, focal.values.front().first, Known(focals), 0});
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
            choice.outside.clear();
            choice.lack = ProfileChoice::Lack::FNumber;
            choice.measured = Known(apertures);
            return choice;
        }
        const Bracket aperture = Choose(shot.fNumber, apertures, kSameFNumber, Log2);
        if (aperture.outside) {
            choice.outside.push_back(
                {true, shot.fNumber, aperture.values.front().first, Known(apertures), focalLength});
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

std::string NormalisedName(const std::string& name) {
    return Normalised(name);
}

std::vector<ShotSetting> DifferingSettings(const ShotSettings& a, const ShotSettings& b) {
    const auto sameNumber = [](double x, double y, double same, double (*scale)(double)) {
        if (x <= 0 || y <= 0) return x <= 0 && y <= 0;
        return std::abs(scale(x) - scale(y)) <= same;
    };
    std::vector<ShotSetting> differ;
    if (Normalised(a.make) != Normalised(b.make)) differ.push_back(ShotSetting::Make);
    if (Normalised(a.model) != Normalised(b.model)) differ.push_back(ShotSetting::Model);
    if (Normalised(a.lens) != Normalised(b.lens)) differ.push_back(ShotSetting::Lens);
    if (!sameNumber(a.focalLength, b.focalLength, kSameFocalLength, Ln)) {
        differ.push_back(ShotSetting::FocalLength);
    }
    if (!sameNumber(a.fNumber, b.fNumber, kSameFNumber, Log2)) {
        differ.push_back(ShotSetting::FNumber);
    }
    // Focus is reported to a tenth or so; a card shot twice from one place may read 1.2 and 1.3 m.
    if (!sameNumber(a.focusDistance, b.focusDistance, kSameFocusDistance, Ln)) {
        differ.push_back(ShotSetting::FocusDistance);
    }
    return differ;
}

}  // namespace velmora
