// Behaviour of the plain file access every platform gives: what opens, what
// reads at which offset, and that results replace their targets whole.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "wave_writer.h"

namespace vantorel::platform {
namespace {

using test_support::bytesOf;
using test_support::ScratchFolder;
using test_support::writeFileBytes;

std::vector<std::byte> fileBytes(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::byte> bytes;
    for (const char c : chars) bytes.push_back(static_cast<std::byte>(c));
    return bytes;
}

std::size_t entriesIn(const std::filesystem::path& folder) {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()));
}

TEST(FileAccess, OpensAnExistingRegularFile) {
    ScratchFolder folder;
    const std::string name = folder.file("take 1.wav");
    ASSERT_TRUE(writeFileBytes(name, bytesOf({1, 2, 3})));
    const auto file = openRegularFileForReading(name);
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(fileSize(*file), 3u);
}

TEST(FileAccess, GivesNoFileForAMissingNameAnEmptyNameOrAFolder) {
    ScratchFolder folder;
    EXPECT_FALSE(openRegularFileForReading(folder.file("missing.wav")).has_value());
    EXPECT_FALSE(openRegularFileForReading("").has_value());
    EXPECT_FALSE(openRegularFileForReading(folder.path().string()).has_value());
}

TEST(FileAccess, ReadsAtTheOffsetAndStopsAtTheEnd) {
    ScratchFolder folder;
    const std::string name = folder.file("bytes.bin");
    ASSERT_TRUE(writeFileBytes(name, bytesOf({10, 11, 12, 13, 14, 15})));
    const auto file = openRegularFileForReading(name);
    ASSERT_TRUE(file.has_value());

    std::array<std::byte, 3> middle{};
    EXPECT_EQ(readAt(*file, 2, middle), 3u);
    EXPECT_EQ(middle, (std::array{std::byte{12}, std::byte{13}, std::byte{14}}));

    // Reads do not depend on one another: offset 0 after offset 2.
    std::array<std::byte, 1> first{};
    EXPECT_EQ(readAt(*file, 0, first), 1u);
    EXPECT_EQ(first[0], std::byte{10});

    std::array<std::byte, 4> pastTheEnd{std::byte{0xAA}, std::byte{0xAA}, std::byte{0xAA}, std::byte{0xAA}};
    EXPECT_EQ(readAt(*file, 4, pastTheEnd), 2u);
    EXPECT_EQ(pastTheEnd[0], std::byte{14});
    EXPECT_EQ(pastTheEnd[1], std::byte{15});
    EXPECT_EQ(pastTheEnd[2], std::byte{0xAA});  // not transferred

    EXPECT_EQ(readAt(*file, 6, first), 0u);
    EXPECT_EQ(readAt(*file, 1'000'000, first), 0u);
    EXPECT_EQ(readAt(*file, UINT64_MAX, first), 0u);
}

TEST(FileAccess, ReadsAFileLargerThanOneRead) {
    ScratchFolder folder;
    const std::string name = folder.file("large.bin");
    std::vector<std::byte> bytes(3'000'017);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::byte>((i * 7 + i / 251) & 0xFF);
    ASSERT_TRUE(writeFileBytes(name, bytes));
    const auto file = openRegularFileForReading(name);
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(fileSize(*file), bytes.size());
    std::vector<std::byte> read(bytes.size() - 5);
    EXPECT_EQ(readAt(*file, 5, read), read.size());
    EXPECT_TRUE(std::equal(read.begin(), read.end(), bytes.begin() + 5));
}

TEST(FileAccess, AMovedFileKeepsReadingAndTheEmptiedOneReadsNothing) {
    ScratchFolder folder;
    const std::string name = folder.file("a.bin");
    ASSERT_TRUE(writeFileBytes(name, bytesOf({7, 8})));
    auto opened = openRegularFileForReading(name);
    ASSERT_TRUE(opened.has_value());
    ReadOnlyFile moved = std::move(*opened);
    std::array<std::byte, 2> into{};
    EXPECT_EQ(readAt(moved, 0, into), 2u);
    EXPECT_EQ(into[1], std::byte{8});
    EXPECT_EQ(readAt(*opened, 0, into), 0u);  // NOLINT(bugprone-use-after-move): the moved-from state is defined
    EXPECT_EQ(fileSize(*opened), 0u);
}

TEST(FileAccess, ReplacingCreatesTheFileWithExactlyTheBytes) {
    ScratchFolder folder;
    const std::string name = folder.file("take 1 VT.txt");
    const auto bytes = bytesOf({'a', '\r', '\n', 0, 0xFF});
    ASSERT_TRUE(replaceFileContents(name, bytes));
    EXPECT_EQ(fileBytes(name), bytes);
    EXPECT_EQ(entriesIn(folder.path()), 1u);  // no temporary left behind
}

TEST(FileAccess, ReplacingOverwritesALongerFileWhole) {
    ScratchFolder folder;
    const std::string name = folder.file("result.emf");
    ASSERT_TRUE(writeFileBytes(name, std::vector<std::byte>(1000, std::byte{0x55})));
    ASSERT_TRUE(replaceFileContents(name, bytesOf({1, 2})));
    EXPECT_EQ(fileBytes(name), bytesOf({1, 2}));
    ASSERT_TRUE(replaceFileContents(name, {}));
    EXPECT_TRUE(fileBytes(name).empty());
    EXPECT_EQ(entriesIn(folder.path()), 1u);
}

TEST(FileAccess, ReplacingFailsInAMissingFolderAndLeavesNothing) {
    ScratchFolder folder;
    EXPECT_FALSE(replaceFileContents(folder.file("no such folder/result.txt"), bytesOf({1})));
    EXPECT_FALSE(replaceFileContents("", bytesOf({1})));
    EXPECT_EQ(entriesIn(folder.path()), 0u);
}

TEST(FileAccess, ReplacingAFolderFailsAndKeepsIt) {
    ScratchFolder folder;
    const std::string name = folder.file("taken");
    ASSERT_TRUE(std::filesystem::create_directory(name));
    EXPECT_FALSE(replaceFileContents(name, bytesOf({1})));
    EXPECT_TRUE(std::filesystem::is_directory(name));
    EXPECT_EQ(entriesIn(folder.path()), 1u);
}

// The two results of a job: a report beside a chart.
struct ResultPair {
    std::string report;
    std::string chart;
    std::array<std::byte, 3> reportBytes{std::byte{'n'}, std::byte{'e'}, std::byte{'w'}};
    std::vector<std::byte> chartBytes = std::vector<std::byte>(5000, std::byte{0x42});
    std::array<ResultFile, 2> files() const { return {ResultFile{report, reportBytes}, ResultFile{chart, chartBytes}}; }
};

TEST(FileAccess, ResultsReplacedTogetherAllArriveWhole) {
    ScratchFolder folder;
    ResultPair results{folder.file("take VT.txt"), folder.file("take VT.emf")};
    ASSERT_TRUE(writeFileBytes(results.report, bytesOf({'o', 'l', 'd'})));
    const auto files = results.files();
    EXPECT_FALSE(replaceFilesTogether(files).has_value());
    EXPECT_EQ(fileBytes(results.report), bytesOf({'n', 'e', 'w'}));
    EXPECT_EQ(fileBytes(results.chart), results.chartBytes);
    EXPECT_EQ(entriesIn(folder.path()), 2u);  // no temporary or kept earlier file left
}

// A result that cannot be written keeps the other one from replacing its
// earlier version, whichever of the two fails and why.
TEST(FileAccess, ResultsReplacedTogetherChangeNothingWhenOneCannotBeWritten) {
    struct Row {
        const char* what;
        std::string chartLeaf;
        std::string reason;
    };
    const std::vector<Row> rows = {
        {"a non-empty folder", "take VT.emf", "is a folder"},
        {"a missing folder", "gone/take VT.emf", "no such folder"},
        {"a name past the file system's limit", std::string(300, 'x') + " VT.emf", "name too long"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ScratchFolder folder;
        ResultPair results{folder.file("take VT.txt"), folder.file(row.chartLeaf)};
        ASSERT_TRUE(writeFileBytes(results.report, bytesOf({'o', 'l', 'd'})));
        if (row.reason == "is a folder") {
            std::filesystem::create_directory(results.chart);
            ASSERT_TRUE(writeFileBytes(results.chart + "/earlier", bytesOf({1})));
        }
        const std::size_t entries = entriesIn(folder.path());
        const auto files = results.files();
        const std::optional<WriteFailure> failure = replaceFilesTogether(files);
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->name, results.chart);
        EXPECT_EQ(failure->reason, row.reason);
        EXPECT_TRUE(failure->replaced.empty());
        EXPECT_EQ(fileBytes(results.report), bytesOf({'o', 'l', 'd'}));
        EXPECT_EQ(entriesIn(folder.path()), entries);
    }
}

TEST(FileAccess, IdentityFollowsEveryNameOfTheSameFile) {
    ScratchFolder folder;
    const std::string input = folder.file("take.wav");
    ASSERT_TRUE(writeFileBytes(input, bytesOf({1, 2, 3})));
    ASSERT_TRUE(writeFileBytes(folder.file("other.wav"), bytesOf({1, 2, 3})));
    std::filesystem::create_hard_link(input, folder.file("take VT.txt"));
    const auto opened = openRegularFileForReading(input);
    ASSERT_TRUE(opened.has_value());
    const std::optional<FileIdentity> identity = fileIdentity(*opened);
    ASSERT_TRUE(identity.has_value());
    EXPECT_EQ(fileIdentity(folder.file("take VT.txt")), identity);
    EXPECT_EQ(fileIdentity(input), identity);
    EXPECT_NE(fileIdentity(folder.file("other.wav")), identity);
    EXPECT_FALSE(fileIdentity(folder.file("take VT.emf")).has_value());
}

// What tells a later run whether a file changed: its size, its time to the
// nanosecond and its identity; folders and missing names have no stamp.
TEST(FileAccess, AStampChangesWithTheFileAndFollowsItsNames) {
    ScratchFolder folder;
    const std::string input = folder.file("take.wav");
    ASSERT_TRUE(writeFileBytes(input, bytesOf({1, 2, 3})));
    const std::optional<FileStamp> stamp = fileStamp(input);
    ASSERT_TRUE(stamp.has_value());
    EXPECT_EQ(stamp->size, 3u);
    EXPECT_EQ(stamp->identity, fileIdentity(input));
    std::filesystem::create_hard_link(input, folder.file("again.wav"));
    EXPECT_EQ(fileStamp(folder.file("again.wav")), stamp);
    const auto later = std::filesystem::last_write_time(input) + std::chrono::microseconds(1);
    std::filesystem::last_write_time(input, later);
    ASSERT_TRUE(fileStamp(input).has_value());
    EXPECT_NE(fileStamp(input)->modifiedNs, stamp->modifiedNs);
    EXPECT_EQ(fileStamp(input)->size, stamp->size);
    EXPECT_FALSE(fileStamp(folder.file("missing.wav")).has_value());
    EXPECT_FALSE(fileStamp(folder.path().string()).has_value());
    EXPECT_FALSE(fileStamp("").has_value());
}

// Folders made for results elsewhere: every missing level, an existing one
// left as it is, and a file in the way named as the reason.
TEST(FileAccess, FoldersAreMadeDownToTheLastAndAFileInTheWayIsNamed) {
    ScratchFolder folder;
    const std::string deep = folder.file("out/Artist/Album");
    EXPECT_EQ(createFolders(deep), std::nullopt);
    EXPECT_TRUE(std::filesystem::is_directory(deep));
    EXPECT_EQ(createFolders(deep + "/"), std::nullopt);
    EXPECT_EQ(createFolders(folder.file("out")), std::nullopt);
    ASSERT_TRUE(writeFileBytes(folder.file("out/file"), bytesOf({1})));
    EXPECT_EQ(createFolders(folder.file("out/file/below")), std::optional<std::string>("not a folder"));
    EXPECT_EQ(createFolders(""), std::nullopt);
}

TEST(FileAccess, AbsolutePathsDropDotsAndRepeatedSeparators) {
    const std::string here = std::filesystem::current_path().string();
#ifdef _WIN32
    EXPECT_EQ(absolutePath("a/b.wav"), here + (here.back() == '\\' ? "" : "\\") + "a\\b.wav");
#else
    const std::string separator = here.back() == '/' ? "" : "/";
    for (const auto& [name, expected] : std::vector<std::pair<std::string, std::string>>{
             {"a/b.wav", here + separator + "a/b.wav"},
             {"./a//./b.wav", here + separator + "a/b.wav"},
             {"/x//y/./z/", "/x/y/z"},
             {"/x/../y", "/x/../y"},
             {"/", "/"},
         })
        EXPECT_EQ(absolutePath(name), expected) << name;
#endif
}

#ifndef _WIN32
// A rename that fails after the first result is in place: an immutable
// earlier chart cannot be replaced, even by the superuser. The report put in
// place first gets its earlier version back.
TEST(FileAccess, ALaterRenameThatFailsPutsTheEarlierResultsBack) {
    ScratchFolder folder;
    ResultPair results{folder.file("take VT.txt"), folder.file("take VT.emf")};
    ASSERT_TRUE(writeFileBytes(results.report, bytesOf({'o', 'l', 'd'})));
    ASSERT_TRUE(writeFileBytes(results.chart, bytesOf({'o', 'l', 'd'})));
    const std::string quoted = "'" + results.chart + "'";
    if (std::system(("chattr +i " + quoted + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr +i is not available here";
    const auto files = results.files();
    const std::optional<WriteFailure> failure = replaceFilesTogether(files);
    (void)std::system(("chattr -i " + quoted).c_str());
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->name, results.chart);
    EXPECT_EQ(failure->reason, "permission denied");
    EXPECT_TRUE(failure->replaced.empty());
    EXPECT_EQ(fileBytes(results.report), bytesOf({'o', 'l', 'd'}));
    EXPECT_EQ(fileBytes(results.chart), bytesOf({'o', 'l', 'd'}));
    EXPECT_EQ(entriesIn(folder.path()), 2u);
}
#endif

}  // namespace
}  // namespace vantorel::platform
