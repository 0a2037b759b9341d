#include "engine/map_sidecar.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <limits>

#include "platform/native_path.h"

namespace velmora {
namespace {

constexpr char kFormat[] = "velmora-map-sidecar";
constexpr int kVersion = 1;

// Reads the JSON fields one by one; the first field that is missing or wrong is remembered and
// every later read is skipped, so a caller checks once at the end.
class FieldReader {
  public:
    QJsonObject Object(const QJsonObject& parent, const char* key) {
        if (!problem_.isEmpty()) return {};
        const QJsonValue value = parent.value(key);
        if (!value.isObject()) Fail(QString("\"%1\" is not an object").arg(key));
        return value.toObject();
    }

    QString Text(const QJsonObject& parent, const char* key) {
        if (!problem_.isEmpty()) return {};
        const QJsonValue value = parent.value(key);
        if (!value.isString()) Fail(QString("\"%1\" is not a string").arg(key));
        return value.toString();
    }

    std::int32_t Whole(const QJsonValue& value, const QString& name, std::int32_t lowest,
                       std::int32_t highest) {
        if (!problem_.isEmpty()) return 0;
        const double number = value.toDouble(std::numeric_limits<double>::quiet_NaN());
        if (!value.isDouble() || number != std::floor(number) || number < lowest ||
            number > highest) {
            Fail(QString("\"%1\" is not a whole number from %2 to %3")
                     .arg(name)
                     .arg(lowest)
                     .arg(highest));
            return 0;
        }
        return std::int32_t(number);
    }

    std::int32_t Whole(const QJsonObject& parent, const char* key, std::int32_t lowest,
                       std::int32_t highest) {
        return Whole(parent.value(key), key, lowest, highest);
    }

    void Fail(const QString& problem) {
        if (problem_.isEmpty()) problem_ = problem;
    }
    const QString& problem() const { return problem_; }

  private:
    QString problem_;
};

bool IsSha256Hex(const QByteArray& text) {
    if (text.size() != 64) return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

}  // namespace

QString SidecarPathFor(const QString& mapFile) {
    return mapFile + ".json";
}

QByteArray MapSha256(const CorrectionMap& map) {
    const QByteArrayView cells(reinterpret_cast<const char*>(map.data()), qsizetype(kMapBytes));
    return QCryptographicHash::hash(cells, QCryptographicHash::Sha256).toHex();
}

QByteArray SidecarToJson(const MapSidecar& sidecar) {
    QJsonObject root;
    root["format"] = kFormat;
    root["version"] = kVersion;
    root["map"] = QJsonObject{{"file", sidecar.mapFileName},
                              {"sha256", QString::fromLatin1(sidecar.mapSha256)}};
    root["reference"] = QJsonObject{{"file", sidecar.referenceFileName},
                                    {"width", sidecar.widthPixels},
                                    {"height", sidecar.heightPixels},
                                    {"widthBytes", sidecar.widthBytes},
                                    {"rows", sidecar.rows}};
    root["centre"] =
        QJsonObject{{"row", sidecar.centreRow},
                    {"byte", sidecar.centreByte},
                    {"bytes", QJsonArray{sidecar.centre[0], sidecar.centre[1], sidecar.centre[2]}}};
    root["smoothing"] = QJsonObject{{"radius", sidecar.smoothRadius}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool ParseMapSidecar(const QByteArray& json, MapSidecar& sidecar, QString& problem) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError) {
        problem =
            QString("is not valid JSON (%1 at byte %2)").arg(error.errorString()).arg(error.offset);
        return false;
    }
    if (!document.isObject()) {
        problem = "is not a JSON object";
        return false;
    }
    const QJsonObject root = document.object();
    FieldReader read;
    if (read.Text(root, "format") != kFormat) {
        problem = QString("is not a map sidecar (no \"format\": \"%1\")").arg(kFormat);
        return false;
    }
    const int version = read.Whole(root, "version", 1, std::numeric_limits<std::int32_t>::max());
    if (read.problem().isEmpty() && version != kVersion) {
        problem =
            QString("has version %1; this velmora-cli reads version %2").arg(version).arg(kVersion);
        return false;
    }

    MapSidecar result;
    const QJsonObject map = read.Object(root, "map");
    result.mapFileName = read.Text(map, "file");
    result.mapSha256 = read.Text(map, "sha256").toLatin1();
    if (read.problem().isEmpty() && !IsSha256Hex(result.mapSha256)) {
        read.Fail("\"sha256\" is not 64 lower-case hex digits");
    }

    const QJsonObject reference = read.Object(root, "reference");
    result.referenceFileName = read.Text(reference, "file");
    result.widthPixels = read.Whole(reference, "width", 1, kMapRowBytes / 3);
    result.heightPixels = read.Whole(reference, "height", 1, kMapRows);
    result.widthBytes = read.Whole(reference, "widthBytes", 1, kMapRowBytes);
    result.rows = read.Whole(reference, "rows", 1, kMapRows);

    const QJsonObject centre = read.Object(root, "centre");
    result.centreRow = read.Whole(centre, "row", 0, kMapRows - 1);
    result.centreByte = read.Whole(centre, "byte", 0, kMapRowBytes - 1);
    const QJsonArray bytes = centre.value("bytes").toArray();
    if (read.problem().isEmpty() && bytes.size() != 3) {
        read.Fail("\"bytes\" of \"centre\" is not a list of three bytes");
    }
    for (int k = 0; k < 3 && read.problem().isEmpty(); ++k) {
        result.centre[k] =
            std::uint8_t(read.Whole(bytes.at(k), QString("bytes[%1]").arg(k), 0, 255));
    }

    const QJsonObject smoothing = read.Object(root, "smoothing");
    result.smoothRadius =
        read.Whole(smoothing, "radius", 0, std::numeric_limits<std::int32_t>::max());

    if (!read.problem().isEmpty()) {
        problem = "is not a complete map sidecar: " + read.problem();
        return false;
    }
    sidecar = result;
    return true;
}

SidecarCheck CheckMapSidecar(const QString& mapFile, const CorrectionMap& map, bool mapFound) {
    const QString path = SidecarPathFor(mapFile);
    const QString name = Native(path);
    SidecarCheck check;
    if (!QFileInfo::exists(path)) return check;

    check.state = SidecarCheck::State::Unusable;
    if (!mapFound) {
        check.problem = name + " belongs to no map: " + Native(mapFile) + " does not exist";
        return check;
    }
    QFile file(path);
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly)) {
        check.problem = name + " cannot be read: " +
                        (QFileInfo(path).isDir() ? QString("it is a folder") : file.errorString());
        return check;
    }
    // A sidecar is a few hundred bytes; anything far larger is no sidecar.
    const QByteArray json = file.read(64 * 1024);
    QString problem;
    if (!ParseMapSidecar(json, check.sidecar, problem)) {
        check.problem = name + ' ' + problem;
        return check;
    }
    if (check.sidecar.mapSha256 != MapSha256(map)) {
        check.problem = name + " is stale: it describes another map than the one in " +
                        Native(mapFile) + " (tuned again since, in the window or elsewhere)";
        return check;
    }
    check.state = SidecarCheck::State::Valid;
    return check;
}

}  // namespace velmora
