#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#include "correction/map_store.h"
#include "test_support.h"

namespace velmora {
namespace {

using testing::KindOf;
using testing::ReadWhole;
using testing::TemporaryFolder;
using testing::WriteWhole;

CorrectionMap PatternMap() {
    CorrectionMap map;
    for (std::size_t i = 0; i < kMapBytes; ++i)
        map.data()[i] = std::uint8_t(i * 7 + i / 4800);
    return map;
}

TEST(MapStore, FileHoldsRowAfterRowOf4800Bytes) {
    TemporaryFolder folder;
    CorrectionMap map;
    map(0, 1) = 11;
    map(4799, 0) = 22;
    map(4799, 1199) = 33;
    map(17, 3) = 44;
    SaveCorrectionMap(map, folder / "data.dat");

    const auto bytes = ReadWhole(folder / "data.dat");
    ASSERT_EQ(bytes.size(), 5760000u);
    EXPECT_EQ(bytes[4800], 11);
    EXPECT_EQ(bytes[4799], 22);
    EXPECT_EQ(bytes[5759999], 33);
    EXPECT_EQ(bytes[3 * 4800 + 17], 44);
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0), 5760000 - 4);
}

TEST(MapStore, SaveAndLoadRoundTripCellForCell) {
    TemporaryFolder folder;
    const CorrectionMap saved = PatternMap();
    SaveCorrectionMap(saved, folder / "data.dat");
    CorrectionMap loaded;
    EXPECT_TRUE(LoadCorrectionMap(loaded, folder / "data.dat"));
    EXPECT_TRUE(loaded == saved);
    // No temporary file is left beside the map.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST(MapStore, MissingFileOrFolderOfThatNameIsNotFound) {
    TemporaryFolder folder;
    CorrectionMap map = PatternMap();
    EXPECT_FALSE(LoadCorrectionMap(map, folder / "data.dat"));
    std::filesystem::create_directory(folder / "data.dat");
    EXPECT_FALSE(LoadCorrectionMap(map, folder / "data.dat"));
    EXPECT_TRUE(map == PatternMap());
}

TEST(MapStore, ShortFileIsAFileErrorAndChangesNothing) {
    TemporaryFolder folder;
    const std::vector<std::uint8_t> shortFile(5759999, 9);
    WriteWhole(folder / "data.dat", shortFile);
    CorrectionMap map;
    try {
        LoadCorrectionMap(map, folder / "data.dat");
        FAIL() << "a short file was taken as a map";
    } catch (const Error& error) {
        EXPECT_EQ(error.kind(), ErrorKind::File);
        EXPECT_NE(std::string(error.what()).find("5759999"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("data.dat"), std::string::npos) << error.what();
    }
    EXPECT_TRUE(map == CorrectionMap());
    EXPECT_EQ(ReadWhole(folder / "data.dat"), shortFile);
}

TEST(MapStore, LongerFileGivesItsFirstMapAndSaveCutsIt) {
    TemporaryFolder folder;
    std::vector<std::uint8_t> longFile(5760000 + 100, 5);
    longFile[0] = 1;
    longFile[5759999] = 2;
    WriteWhole(folder / "data.dat", longFile);
    CorrectionMap map;
    ASSERT_TRUE(LoadCorrectionMap(map, folder / "data.dat"));
    EXPECT_EQ(map(0, 0), 1);
    EXPECT_EQ(map(4799, 1199), 2);
    SaveCorrectionMap(map, folder / "data.dat");
    EXPECT_EQ(std::filesystem::file_size(folder / "data.dat"), 5760000u);
}

TEST(MapStore, FailedSavesLeaveTheOldFileWhole) {
    TemporaryFolder folder;
    const auto file = folder / "data.dat";
    const CorrectionMap old = PatternMap();
    SaveCorrectionMap(old, file);
    const auto before = ReadWhole(file);
    CorrectionMap next;
    next(5, 5) = 200;

    // A write that fails part-way, after 1 MB.
    std::size_t written = 0;
    const ChunkWriter failing = [&](int fd, const std::uint8_t* bytes, std::size_t count) -> long {
        if (written >= 1000000) {
            errno = ENOSPC;
            return -1;
        }
        const std::size_t n = std::min<std::size_t>(count, 65536);
        written += n;
        return long(::write(fd, bytes, n));
    };
    EXPECT_EQ(KindOf([&] { SaveCorrectionMap(next, file, failing); }), ErrorKind::File);
    EXPECT_EQ(ReadWhole(file), before);

    // A writer that stops moving bytes is a failure too, not an endless loop.
    const ChunkWriter stalled = [](int, const std::uint8_t*, std::size_t) -> long { return 0; };
    EXPECT_EQ(KindOf([&] { SaveCorrectionMap(next, file, stalled); }), ErrorKind::File);
    EXPECT_EQ(ReadWhole(file), before);

    // Only the map is left in the folder: the temporary files went with the failures.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST(MapStore, ReadOnlyFileAndFolderAreFileErrors) {
    TemporaryFolder folder;
    const auto file = folder / "data.dat";
    SaveCorrectionMap(PatternMap(), file);
    const auto before = ReadWhole(file);

    // Refused even for root, who could write through the permission bits.
    std::filesystem::permissions(file, std::filesystem::perms::owner_read);
    EXPECT_EQ(KindOf([&] { SaveCorrectionMap(CorrectionMap(), file); }), ErrorKind::File);
    EXPECT_EQ(ReadWhole(file), before);

    std::filesystem::permissions(file, std::filesystem::perms::owner_all);
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    std::filesystem::permissions(
        folder.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    EXPECT_EQ(KindOf([&] { SaveCorrectionMap(CorrectionMap(), file); }), ErrorKind::File);
    std::filesystem::permissions(folder.path(), std::filesystem::perms::owner_all);
    EXPECT_EQ(ReadWhole(file), before);
}

TEST(MapStore, FolderNamedLikeTheMapIsNotReplaced) {
    TemporaryFolder folder;
    std::filesystem::create_directory(folder / "data.dat");
    EXPECT_EQ(KindOf([&] { SaveCorrectionMap(CorrectionMap(), folder / "data.dat"); }),
              ErrorKind::File);
    EXPECT_TRUE(std::filesystem::is_directory(folder / "data.dat"));
}

TEST(MapStore, SaveKeepsTheFilesPermissions) {
    TemporaryFolder folder;
    const auto file = folder / "data.dat";
    SaveCorrectionMap(CorrectionMap(), file);
    ::chmod(file.c_str(), 0640);
    SaveCorrectionMap(PatternMap(), file);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

using testing::ReadWhole;

TEST(AtomicFile, ReplacesWholeWithEitherDurabilityAndLeavesNoTemporaryFile) {
    testing::TemporaryFolder folder;
    const auto file = folder / "picture.bmp";
    const std::vector<std::uint8_t> first(1000, 1);
    const std::vector<std::uint8_t> second(10, 2);
    const FileSystemFlush flush(folder.path());
    WriteFileAtomically(file, first.data(), first.size(), Durability::FlushEachFile);
    WriteFileAtomically(file, second.data(), second.size(), Durability::FlushLater);
    flush.Flush();
    EXPECT_EQ(ReadWhole(file), second);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                            std::filesystem::directory_iterator()),
              1);
    try {
        WriteFileAtomically(folder / "missing" / "x.bmp", first.data(), first.size(),
                            Durability::FlushLater);
        FAIL() << "a save into a missing folder went through";
    } catch (const Error& error) {
        EXPECT_EQ(error.kind(), ErrorKind::File);
        EXPECT_NE(std::string(error.what()).find("cannot save " + (folder / "missing").string()),
                  std::string::npos)
            << error.what();
    }
}

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

TEST(AtomicFile, LinksAreWrittenThroughAndStayLinks) {
    testing::TemporaryFolder folder;
    std::filesystem::create_directory(folder / "shared");
    const auto target = folder / "shared" / "data.dat";
    const auto link = folder / "data.dat";
    const std::vector<std::uint8_t> content(100, 7);
    testing::WriteWhole(target, {1, 2, 3});
    std::filesystem::create_symlink(target, link);
    WriteFileAtomically(link, content.data(), content.size(), Durability::FlushEachFile);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(testing::ReadWhole(target), content);

    std::filesystem::create_symlink(folder / "nowhere" / "x", folder / "dangling");
    EXPECT_EQ(testing::KindOf([&] {
                  WriteFileAtomically(folder / "dangling", content.data(), content.size(),
                                      Durability::FlushLater);
              }),
              ErrorKind::File);
    EXPECT_TRUE(std::filesystem::is_symlink(folder / "dangling"));
}

// A batch trusts this flush to say whether its outputs reached the disk.
TEST(AtomicFile, AFailingFlushIsAFileErrorNamingTheFolder) {
    testing::TemporaryFolder folder;
    const FileSystemFlush flush(folder.path());
    try {
        flush.Flush([](int) {
            errno = EIO;
            return -1;
        });
        FAIL() << "a failed flush went unreported";
    } catch (const Error& error) {
        EXPECT_EQ(error.kind(), ErrorKind::File);
        EXPECT_NE(error.cause().find(folder.path().string()), std::string::npos) << error.cause();
        EXPECT_NE(error.cause().find(std::strerror(EIO)), std::string::npos) << error.cause();
    }
    // A folder that cannot be opened falls back to flushing everything, which reports nothing.
    EXPECT_NO_THROW(FileSystemFlush(folder / "missing").Flush([](int) {
        errno = EIO;
        return -1;
    }));
}

}  // namespace
}  // namespace velmora
