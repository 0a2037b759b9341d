#include "lensfun_data.h"

#include <QDir>
#include <QFile>
#include <QXmlStreamReader>

namespace velmora::scene {

std::vector<LensfunVignetting> ReadLensfunVignetting(const std::string& folder) {
    std::vector<LensfunVignetting> entries;
    const QDir dir(QString::fromStdString(folder));
    for (const QString& name : dir.entryList({"*.xml"}, QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::ReadOnly)) continue;
        QXmlStreamReader xml(&file);
        QString maker, model;
        while (!xml.atEnd()) {
            if (!xml.readNextStartElement()) continue;
            if (xml.name() == u"lens") {
                maker.clear();
                model.clear();
            } else if (xml.name() == u"maker" && maker.isEmpty()) {
                maker = xml.readElementText();
            } else if (xml.name() == u"model" && model.isEmpty() &&
                       !xml.attributes().hasAttribute("lang")) {
                model = xml.readElementText();
            } else if (xml.name() == u"vignetting" && !model.isEmpty()) {
                const QXmlStreamAttributes a = xml.attributes();
                if (a.value("model") != u"pa") continue;
                LensfunVignetting entry;
                entry.maker = maker.toStdString();
                entry.model = model.toStdString();
                entry.focalText = a.value("focal").toString().toStdString();
                entry.apertureText = a.value("aperture").toString().toStdString();
                entry.distanceText = a.value("distance").toString().toStdString();
                entry.focal = a.value("focal").toDouble();
                entry.aperture = a.value("aperture").toDouble();
                entry.distance = a.value("distance").toDouble();
                entry.k = {a.value("k1").toDouble(), a.value("k2").toDouble(),
                           a.value("k3").toDouble()};
                entries.push_back(entry);
            }
        }
    }
    return entries;
}

}  // namespace velmora::scene
