#include "platform/photo_metadata.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <cctype>
#include <cmath>

// exiv2 0.27's headers still use std::auto_ptr.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include "correction/error.h"
#include "platform/native_path.h"

namespace velmora {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

void StartMetadataLibrary() {
    Exiv2::XmpParser::initialize();
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
}

namespace {

// Where cameras and editors write each setting, the most common first.
const char* const kMake[] = {"Exif.Image.Make", "Xmp.tiff.Make"};
const char* const kModel[] = {"Exif.Image.Model", "Xmp.tiff.Model"};
const char* const kLens[] = {"Exif.Photo.LensModel", "Exif.Image.LensModel", "Xmp.exifEX.LensModel",
                             "Xmp.aux.Lens"};
const char* const kFocalLength[] = {"Exif.Photo.FocalLength", "Exif.Image.FocalLength",
                                    "Xmp.exif.FocalLength"};
const char* const kExposureTime[] = {"Exif.Photo.ExposureTime", "Exif.Image.ExposureTime",
                                     "Xmp.exif.ExposureTime"};
const char* const kFNumber[] = {"Exif.Photo.FNumber", "Exif.Image.FNumber", "Xmp.exif.FNumber"};
const char* const kFocusDistance[] = {"Exif.Photo.SubjectDistance", "Exif.Image.SubjectDistance",
                                      "Xmp.exif.SubjectDistance"};

const Exiv2::Value* Find(const Exiv2::Image& image, const std::string& key) {
    if (key.rfind("Xmp.", 0) == 0) {
        const auto found = image.xmpData().findKey(Exiv2::XmpKey(key));
        return found == image.xmpData().end() ? nullptr : &found->value();
    }
    const auto found = image.exifData().findKey(Exiv2::ExifKey(key));
    return found == image.exifData().end() ? nullptr : &found->value();
}

template <std::size_t N>
std::string Text(const Exiv2::Image& image, const char* const (&keys)[N]) {
    for (const char* key : keys) {
        if (const Exiv2::Value* value = Find(image, key)) {
            std::string text = value->toString();
            // EXIF strings are padded with NULs and spaces to a fixed length.
            text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
            while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
                text.pop_back();
            if (!text.empty()) return text;
        }
    }
    return {};
}

template <std::size_t N>
double Number(const Exiv2::Image& image, const char* const (&keys)[N]) {
    for (const char* key : keys) {
        if (const Exiv2::Value* value = Find(image, key); value != nullptr && value->count() > 0) {
            const double number = double(value->toFloat());
            if (std::isfinite(number) && number > 0) return number;
        }
    }
    return 0;
}

}  // namespace

ShotSettings ReadShotSettings(const QString& path) {
    ShotSettings shot;
    try {
        Exiv2::Image::AutoPtr image =
            Exiv2::ImageFactory::open(std::string(QFile::encodeName(path).constData()));
        image->readMetadata();
        shot.make = Text(*image, kMake);
        shot.model = Text(*image, kModel);
        shot.lens = Text(*image, kLens);
        shot.focalLength = Number(*image, kFocalLength);
        shot.fNumber = Number(*image, kFNumber);
        shot.focusDistance = Number(*image, kFocusDistance);
        const Exiv2::ExifData& exif = image->exifData();
        // Older cameras name the lens only in their maker notes, and some record the aperture
        // only as an APEX value (f-number = 2^(value / 2)).
        if (shot.lens.empty()) {
            if (const auto lens = Exiv2::lensName(exif); lens != exif.end()) {
                shot.lens = lens->print(&exif);
                if (shot.lens.empty() || shot.lens.front() == '(') shot.lens.clear();  // unknown
            }
        }
        if (shot.fNumber <= 0) {
            if (const auto apex = exif.findKey(Exiv2::ExifKey("Exif.Photo.ApertureValue"));
                apex != exif.end() && apex->count() > 0 && std::isfinite(apex->toFloat())) {
                shot.fNumber = std::exp2(double(apex->toFloat()) / 2);
            }
        }
    } catch (const Exiv2::AnyError&) {
        return {};  // a format the library does not read: nothing recorded
    }
    return shot;
}

double ReadExposureTime(const QString& path) {
    try {
        Exiv2::Image::AutoPtr image =
            Exiv2::ImageFactory::open(std::string(QFile::encodeName(path).constData()));
        image->readMetadata();
        return Number(*image, kExposureTime);
    } catch (const Exiv2::AnyError&) {
        return 0;
    }
}

void CarryMetadata(const QString& input, const std::filesystem::path& written,
                   const QString& output) {
    Exiv2::Image::AutoPtr source;
    try {
        source = Exiv2::ImageFactory::open(std::string(QFile::encodeName(input).constData()));
        source->readMetadata();
    } catch (const Exiv2::AnyError&) {
        return;  // a format the library does not read, or no metadata to carry
    }
    if (source->exifData().empty() && source->iptcData().empty() && source->xmpData().empty()) {
        return;
    }
    try {
        Exiv2::Image::AutoPtr target = Exiv2::ImageFactory::open(written.string());
        target->readMetadata();
        target->setExifData(source->exifData());
        target->setIptcData(source->iptcData());
        target->setXmpData(source->xmpData());
        target->writeMetadata();
    } catch (const Exiv2::AnyError& error) {
        throw Error(ErrorKind::Picture,
                    (Native(output) +
                     ": cannot write the metadata: " + QString::fromStdString(error.what()))
                        .toStdString(),
                    ErrorFields(output.toStdString()));
    }
}

void SetOrientation(const std::filesystem::path& written, int orientation) {
    try {
        Exiv2::Image::AutoPtr target = Exiv2::ImageFactory::open(written.string());
        target->readMetadata();
        Exiv2::ExifData& exif = target->exifData();
        const auto found = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
        if (found == exif.end()) return;
        found->setValue(std::to_string(orientation));
        target->writeMetadata();
    } catch (const Exiv2::AnyError& error) {
        throw Error(ErrorKind::Picture,
                    "cannot write the metadata of " + written.string() + ": " + error.what(),
                    ErrorFields(written.string()));
    }
}

#pragma GCC diagnostic pop

}  // namespace velmora
