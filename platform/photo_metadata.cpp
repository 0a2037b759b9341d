#include "platform/photo_metadata.h"

#include <QDir>
#include <QFile>

// exiv2 0.27's headers still use std::auto_ptr.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include "correction/error.h"

namespace velmora {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

void StartMetadataLibrary() {
    Exiv2::XmpParser::initialize();
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
}

void CarryMetadata(const QString& input, std::vector<std::uint8_t>& encoded,
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
        Exiv2::Image::AutoPtr target =
            Exiv2::ImageFactory::open(encoded.data(), long(encoded.size()));
        target->readMetadata();
        target->setExifData(source->exifData());
        target->setIptcData(source->iptcData());
        target->setXmpData(source->xmpData());
        target->writeMetadata();
        Exiv2::BasicIo& io = target->io();
        io.seek(0, Exiv2::BasicIo::beg);
        const Exiv2::DataBuf bytes = io.read(long(io.size()));
        encoded.assign(bytes.pData_, bytes.pData_ + bytes.size_);
    } catch (const Exiv2::AnyError& error) {
        throw Error(ErrorKind::Picture,
                    (QDir::toNativeSeparators(output) +
                     ": cannot write the metadata: " + QString::fromStdString(error.what()))
                        .toStdString());
    }
}

#pragma GCC diagnostic pop

}  // namespace velmora
