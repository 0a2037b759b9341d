#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>

#include "correction/correction_map.h"

namespace velmora {

// What `velmora-cli tune` records about a map beside it, in "<map>.json": the map file stays
// exactly the 5,760,000 raw cells, interchangeable with the window's, which neither reads nor
// writes the sidecar. The gain mode needs the centre bytes the map was measured against, and the
// size check the reference's size. The SHA-256 binds a sidecar to the one map it describes: a
// map tuned again (in the window, or by another program) leaves its sidecar stale.
//
//   {
//     "format": "velmora-map-sidecar", "version": 1,
//     "map": { "file": "data.dat", "sha256": "<64 hex digits>" },
//     "reference": { "file": "card.png", "width": 1600, "height": 1200,
//                    "widthBytes": 4800, "rows": 1200 },
//     "centre": { "row": 600, "byte": 2400, "bytes": [ R0, R1, R2 ] },
//     "smoothing": { "radius": 0 }
//   }
//
// The centre bytes are lanes 0, 1, 2 of the reference group (blue, green, red), after smoothing.
struct MapSidecar {
    QString mapFileName;   // the map's own name, without its folder: for the reader only
    QByteArray mapSha256;  // lower-case hex, of the map's 5,760,000 cells
    QString referenceFileName;
    std::int32_t widthPixels = 0;
    std::int32_t heightPixels = 0;
    std::int32_t widthBytes = 0;  // W
    std::int32_t rows = 0;        // H
    std::int32_t centreRow = 0;
    std::int32_t centreByte = 0;  // the reference group's first byte
    std::array<std::uint8_t, 3> centre{};
    int smoothRadius = 0;

    friend bool operator==(const MapSidecar&, const MapSidecar&) = default;
};

// "<mapFile>.json".
QString SidecarPathFor(const QString& mapFile);

// SHA-256 of the map's cells in store order, lower-case hex: the hash of the map file that
// SaveCorrectionMap writes.
QByteArray MapSha256(const CorrectionMap& map);

QByteArray SidecarToJson(const MapSidecar& sidecar);

// The sidecar of the map file `mapFile`, as far as it can be used with `map`, the map read from
// that file (`mapFound` false: there was no map file).
struct SidecarCheck {
    enum class State {
        Valid,    // `sidecar` describes `map`
        Missing,  // no sidecar file
        Unusable  // unreadable, not a sidecar, or stale: `problem` says which
    };
    State state = State::Missing;
    MapSidecar sidecar;
    QString problem;  // "data.dat.json is stale: ...", for the user
};
SidecarCheck CheckMapSidecar(const QString& mapFile, const CorrectionMap& map, bool mapFound);

// Parses a sidecar's bytes; on failure returns false with `problem` saying what is wrong.
bool ParseMapSidecar(const QByteArray& json, MapSidecar& sidecar, QString& problem);

}  // namespace velmora
