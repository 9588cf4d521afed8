// What only Windows file access has: sharing, device names and both separators.

#include <gtest/gtest.h>
#include <process.h>

#include <array>
#include <cstddef>
#include <filesystem>
#include <string>

#include "platform/files.h"
#include "wave_writer.h"

namespace vantorel::platform {
namespace {

using test_support::bytesOf;
using test_support::ScratchFolder;
using test_support::writeFileBytes;

TEST(Win32Files, AFileTheToolHoldsCannotBeOpenedASecondTime) {
    ScratchFolder folder;
    const std::string name = folder.file("held.wav");
    ASSERT_TRUE(writeFileBytes(name, bytesOf({1, 2, 3, 4})));
    {
        const auto first = openRegularFileForReading(name);
        ASSERT_TRUE(first.has_value());
        EXPECT_FALSE(openRegularFileForReading(name).has_value());
    }
    // Closed again: it opens.
    EXPECT_TRUE(openRegularFileForReading(name).has_value());
}

TEST(Win32Files, DeviceNamesAreNotFiles) {
    EXPECT_FALSE(openRegularFileForReading("NUL").has_value());
    EXPECT_FALSE(openRegularFileForReading("CON").has_value());
}

TEST(Win32Files, BackslashAndSlashNamesBothWork) {
    ScratchFolder folder;
    const std::string folderName = folder.path().string();
    ASSERT_TRUE(replaceFileContents(folderName + "\\a VT.txt", bytesOf({'x'})));
    ASSERT_TRUE(replaceFileContents(folderName + "/b VT.txt", bytesOf({'y'})));
    const auto a = openRegularFileForReading(folderName + "/a VT.txt");
    const auto b = openRegularFileForReading(folderName + "\\b VT.txt");
    ASSERT_TRUE(a.has_value());
    ASSERT_TRUE(b.has_value());
    std::array<std::byte, 1> byte{};
    EXPECT_EQ(readAt(*a, 0, byte), 1u);
    EXPECT_EQ(byte[0], std::byte{'x'});
    EXPECT_EQ(readAt(*b, 0, byte), 1u);
    EXPECT_EQ(byte[0], std::byte{'y'});
}

TEST(Win32Files, ANameInTheCurrentFolderIsReplacedThere) {
    ScratchFolder folder;
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());
    const bool replaced = replaceFileContents("here VT.txt", bytesOf({'z'}));
    std::filesystem::current_path(previous);
    ASSERT_TRUE(replaced);
    EXPECT_EQ(std::filesystem::file_size(folder.path() / "here VT.txt"), 1u);
}

TEST(Win32Files, ATemporaryLeftFromAnEarlierRunIsSkippedAndKept) {
    ScratchFolder folder;
    const std::string leftover = folder.file(".vantorel-" + std::to_string(::_getpid()) + "-0.tmp");
    ASSERT_TRUE(writeFileBytes(leftover, bytesOf({9})));
    ASSERT_TRUE(replaceFileContents(folder.file("r VT.txt"), bytesOf({'r'})));
    EXPECT_EQ(std::filesystem::file_size(leftover), 1u);
    EXPECT_EQ(std::filesystem::file_size(folder.path() / "r VT.txt"), 1u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), std::filesystem::directory_iterator()),
              2);
}

}  // namespace
}  // namespace vantorel::platform
