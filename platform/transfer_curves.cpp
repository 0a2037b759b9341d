#include "platform/transfer_curves.h"

#include <lcms2.h>

#include <memory>

namespace velmora {
namespace {

using Profile = std::unique_ptr<void, decltype(&cmsCloseProfile)>;

ToneCurve Srgb() {
    return [](double code) { return SrgbToLinear(code); };
}

// A curve that outlives the profile it was read from.
ToneCurve FromProfile(const cmsToneCurve* read) {
    std::shared_ptr<cmsToneCurve> curve(cmsDupToneCurve(read), cmsFreeToneCurve);
    return [curve](double code) { return double(cmsEvalToneCurveFloat(curve.get(), float(code))); };
}

}  // namespace

std::vector<ToneCurve> TransferCurves(const QByteArray& icc, int colourChannels, QString* note) {
    const std::vector<ToneCurve> srgb(std::size_t(colourChannels), Srgb());
    if (icc.isEmpty()) return srgb;
    Profile profile(cmsOpenProfileFromMem(icc.constData(), cmsUInt32Number(icc.size())),
                    cmsCloseProfile);
    if (!profile) {
        *note = "its colour profile cannot be read; sRGB is assumed.";
        return srgb;
    }
    const cmsColorSpaceSignature space = cmsGetColorSpace(profile.get());
    std::vector<cmsTagSignature> tags;
    if (colourChannels == 1 && space == cmsSigGrayData) {
        tags = {cmsSigGrayTRCTag};
    } else if (colourChannels == 3 && space == cmsSigRgbData) {
        tags = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
    } else {
        *note = "its colour profile does not describe its channels; sRGB is assumed.";
        return srgb;
    }
    std::vector<ToneCurve> curves;
    for (const cmsTagSignature tag : tags) {
        const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(profile.get(), tag));
        if (curve == nullptr) {
            *note =
                "its colour profile has no tone curves (it is built on look-up tables); sRGB "
                "is assumed.";
            return srgb;
        }
        curves.push_back(FromProfile(curve));
    }
    return curves;
}

}  // namespace velmora
