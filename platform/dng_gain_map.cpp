#include "platform/dng_gain_map.h"

#include <QFile>
#include <cstring>
#include <filesystem>

#include "correction/error.h"
#include "platform/dng_writer.h"
#include "platform/native_path.h"
#include "platform/tiff_file.h"

namespace velmora {
namespace {

constexpr std::uint32_t kGainMapId = 9;
constexpr std::uint32_t kDngVersion13 = 0x01030000;

class BigEndian {
  public:
    void U32(std::uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(std::uint8_t(value >> shift));
    }
    void F32(float value) {
        std::uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        U32(bits);
    }
    void F64(double value) {
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        U32(std::uint32_t(bits >> 32));
        U32(std::uint32_t(bits));
    }
    std::vector<std::uint8_t> bytes;
};

[[noreturn]] void Refuse(const QString& input, const std::string& reason) {
    throw Error(ErrorKind::Picture, "raw file " + Native(input).toStdString() + ": " + reason,
                ErrorFields(input.toStdString()));
}

}  // namespace

std::vector<std::uint8_t> OpcodeListOf(const std::vector<GainMap>& maps) {
    BigEndian out;
    out.U32(std::uint32_t(maps.size()));
    for (const GainMap& map : maps) {
        out.U32(kGainMapId);
        out.U32(kDngVersion13);
        out.U32(1);  // optional
        out.U32(std::uint32_t(76 + 4 * map.gains.size()));
        out.U32(map.top);
        out.U32(map.left);
        out.U32(map.bottom);
        out.U32(map.right);
        out.U32(0);  // plane
        out.U32(1);  // planes
        out.U32(map.pitch);
        out.U32(map.pitch);
        out.U32(map.pointsDown);
        out.U32(map.pointsAcross);
        out.F64(map.pointsDown > 1 ? 1.0 / (map.pointsDown - 1) : 1.0);  // spacing, of the height
        out.F64(map.pointsAcross > 1 ? 1.0 / (map.pointsAcross - 1) : 1.0);
        out.F64(0);  // origin
        out.F64(0);
        out.U32(1);  // map planes
        for (const float gain : map.gains)
            out.F32(gain);
    }
    return out.bytes;
}

GainMapNotes AddOpcodes(const QString& input, const QString& output,
                        const std::vector<std::uint8_t>& opcodes, Durability durability) {
    GainMapNotes notes;
    const std::uint32_t maps = std::uint32_t(opcodes[0]) << 24 | std::uint32_t(opcodes[1]) << 16 |
                               std::uint32_t(opcodes[2]) << 8 | opcodes[3];
    RegisterDngTags();
    ReplaceFileAtomically(
        std::filesystem::path(QFile::encodeName(output).constData()), durability,
        [&](const std::filesystem::path& temporary) {
            std::error_code failed;
            std::filesystem::copy_file(QFile::encodeName(input).constData(), temporary,
                                       std::filesystem::copy_options::overwrite_existing, failed);
            if (failed) {
                throw Error(
                    ErrorKind::File,
                    "cannot write " + Native(output).toStdString() + ": " + failed.message() + ".",
                    ErrorFields(output.toStdString()));
            }
            std::string error;
            // "c": the strips as the file lays them out, not chopped into smaller ones.
            const TiffFile tif = OpenTiffFile(QFile::decodeName(temporary.c_str()), "r+c", error);
            if (tif == nullptr) Refuse(input, "cannot be opened as a DNG (" + error + ").");
            std::uint16_t photometric = 0;
            std::uint32_t subfile = 0;
            TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &photometric);
            TIFFGetField(tif.get(), TIFFTAG_SUBFILETYPE, &subfile);
            if (photometric != 32803 || subfile != 0) {
                Refuse(input,
                       "its first IFD is not its raw image (it holds a preview, the raw "
                       "image lies in a sub-IFD); --gain-map takes DNGs whose first IFD "
                       "is the colour filter array's samples.");
            }
            const std::uint32_t* area = nullptr;
            if (TIFFGetField(tif.get(), TIFFTAG_ACTIVEAREA, &area) == 1 && area != nullptr &&
                (area[0] != 0 || area[1] != 0)) {
                notes.areaOffset = true;
            }
            // The file's own opcodes after ours but for its GainMaps: the profile was measured
            // on samples those never touched, so applying both would correct twice.
            std::uint32_t size = 0;
            const std::uint8_t* existing = nullptr;
            std::vector<std::uint8_t> kept;
            std::uint32_t keptCount = 0;
            if (TIFFGetField(tif.get(), kOpcodeList2Tag, &size, &existing) == 1 && size >= 4) {
                const auto u32 = [&](std::size_t at) {
                    return std::uint32_t(existing[at]) << 24 |
                           std::uint32_t(existing[at + 1]) << 16 |
                           std::uint32_t(existing[at + 2]) << 8 | existing[at + 3];
                };
                const std::uint32_t count = u32(0);
                std::size_t at = 4;
                for (std::uint32_t i = 0; i < count && at + 16 <= size; ++i) {
                    const std::size_t length = 16 + std::size_t(u32(at + 12));
                    if (at + length > size) break;  // a damaged list ends here
                    if (u32(at) == kGainMapId) {
                        ++notes.replaced;
                    } else {
                        kept.insert(kept.end(), existing + at, existing + at + length);
                        ++keptCount;
                    }
                    at += length;
                }
            }
            std::vector<std::uint8_t> list = opcodes;
            const std::uint32_t total = std::uint32_t(maps) + keptCount;
            for (int i = 0; i < 4; ++i)
                list[std::size_t(i)] = std::uint8_t(total >> (24 - 8 * i));
            list.insert(list.end(), kept.begin(), kept.end());
            TIFFSetField(tif.get(), kOpcodeList2Tag, std::uint32_t(list.size()), list.data());
            if (TIFFRewriteDirectory(tif.get()) != 1) {
                throw Error(ErrorKind::File,
                            "cannot write " + Native(output).toStdString() + ": " + error + ".",
                            ErrorFields(output.toStdString()));
            }
        });
    return notes;
}

}  // namespace velmora
