#pragma once

#include <QByteArray>
#include <QString>
#include <vector>

#include "correction/tone_curve.h"

namespace velmora {

// The transfer curve of each colour channel (1 or 3) of a picture with the ICC colour profile
// `icc`, read and evaluated by Little CMS: the profile's tone curves of its grey or red, green
// and blue channels. A picture without a profile takes the sRGB curve. A profile without tone
// curves of its own (one built on look-up tables) or for another colour space also takes sRGB,
// and `note` says so.
std::vector<ToneCurve> TransferCurves(const QByteArray& icc, int colourChannels, QString* note);

}  // namespace velmora
