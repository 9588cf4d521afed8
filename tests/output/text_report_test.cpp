// Result names and the one-line report, checked against hand-written names and bytes.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "output/text_report.h"
#include "wave_writer.h"

namespace vantorel::output {
namespace {

namespace fs = std::filesystem;
using test_support::ScratchFolder;

std::string fileContents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int filesIn(const fs::path& folder) {
    return static_cast<int>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST(ResultFileName, DropsTheLastFourCharactersWhateverTheyAre) {
    EXPECT_EQ(resultFileName("song.wav", kReportSuffix), "song VT.txt");
    EXPECT_EQ(resultFileName("song.wav", kChartSuffix), "song VT.emf");
    EXPECT_EQ(resultFileName("track.WAV", kReportSuffix), "track VT.txt");
    EXPECT_EQ(resultFileName("concert.wave", kReportSuffix), "concert. VT.txt");
    EXPECT_EQ(resultFileName("/tmp/dir with blanks/take 1.wav", kReportSuffix),
              "/tmp/dir with blanks/take 1 VT.txt");
    EXPECT_EQ(resultFileName("  a.wav  ", kReportSuffix), "  a.w VT.txt");
}

TEST(ResultFileName, KeepsShortNamesWholeAndEmptiesFourCharacterOnes) {
    EXPECT_EQ(resultFileName("abc", kReportSuffix), "abc VT.txt");
    EXPECT_EQ(resultFileName("", kReportSuffix), " VT.txt");
    EXPECT_EQ(resultFileName("a.wv", kReportSuffix), " VT.txt");
    EXPECT_EQ(resultFileName("ab.wv", kChartSuffix), "a VT.emf");
}

// A folder part never loses characters: a short name inside a folder keeps
// its results in that folder.
TEST(ResultFileName, DropsCharactersOfTheFileNameOnlyNeverOfItsFolder) {
    EXPECT_EQ(resultFileName("sub/ab", kChartSuffix), "sub/ab VT.emf");
    EXPECT_EQ(resultFileName("sub/abcde", kReportSuffix), "sub/a VT.txt");
    EXPECT_EQ(resultFileName("a.b/c", kReportSuffix), "a.b/c VT.txt");
    EXPECT_EQ(resultFileName("../x.wav", kReportSuffix), "../x VT.txt");
    EXPECT_EQ(resultFileName("/abc", kReportSuffix), "/abc VT.txt");
    EXPECT_EQ(resultFileName("m\xC3\xBAsica/\xC3\xA4.wav", kReportSuffix), "m\xC3\xBAsica/\xC3\xA4 VT.txt");
#ifdef _WIN32
    EXPECT_EQ(resultFileName("sub\\ab", kChartSuffix), "sub\\ab VT.emf");
    EXPECT_EQ(resultFileName("C:ab", kReportSuffix), "C:ab VT.txt");
    EXPECT_EQ(resultFileName("C:\\rec/take.wav", kReportSuffix), "C:\\rec/take VT.txt");
#else
    EXPECT_EQ(resultFileName("sub\\ab", kChartSuffix), "su VT.emf");  // one POSIX name of six characters
#endif
}

TEST(ResultFileName, CountsAMultibyteCharacterAsOne) {
    EXPECT_EQ(resultFileName("m\xC3\xBAsica.wav", kReportSuffix), "m\xC3\xBAsica VT.txt");   // música
    EXPECT_EQ(resultFileName("abc.w\xC3\xA4v", kReportSuffix), "abc VT.txt");                // abc.wäv
    EXPECT_EQ(resultFileName("\xE6\x9B\xB2.\xE2\x99\xAA\xE2\x99\xAA\xE2\x99\xAA", kReportSuffix),
              "\xE6\x9B\xB2 VT.txt");  // 曲.♪♪♪
    EXPECT_EQ(resultFileName("\xF0\x9F\x8E\xB5.wa", kReportSuffix), " VT.txt");  // a four-byte note + ".wa"
    EXPECT_EQ(resultFileName("\xC3\xA4\xC3\xB6\xC3\xBC", kReportSuffix), "\xC3\xA4\xC3\xB6\xC3\xBC VT.txt");
    // Bytes that are no UTF-8 sequence count one each.
    EXPECT_EQ(resultFileName("take\xFF\xFE.wv", kReportSuffix), "take\xFF VT.txt");
}

TEST(TextReport, HoldsTheChannelLayoutLineAndCrLf) {
    ScratchFolder folder;
    writeTextReport(folder.file("song.wav"), 1);
    EXPECT_EQ(fileContents(folder.path() / "song VT.txt"), std::string("mono,mono\r\n"));
    EXPECT_EQ(fs::file_size(folder.path() / "song VT.txt"), 11u);

    writeTextReport(folder.file("take 1.wav"), 2);
    EXPECT_EQ(fileContents(folder.path() / "take 1 VT.txt"), std::string("left, left, right, right\r\n"));
    EXPECT_EQ(fs::file_size(folder.path() / "take 1 VT.txt"), 26u);
    EXPECT_EQ(filesIn(folder.path()), 2);  // no temporary left over
}

TEST(TextReport, WritesNothingForOtherChannelCounts) {
    ScratchFolder folder;
    for (const int channels : {0, 3, 6, -1}) writeTextReport(folder.file("surround.wav"), channels);
    EXPECT_EQ(filesIn(folder.path()), 0);
}

TEST(TextReport, ReplacesAnExistingReport) {
    ScratchFolder folder;
    const fs::path report = folder.path() / "song VT.txt";
    std::ofstream(report, std::ios::binary) << "an older and much longer report\r\nwith two lines\r\n";
    writeTextReport(folder.file("song.wav"), 2);
    EXPECT_EQ(fileContents(report), std::string("left, left, right, right\r\n"));
    writeTextReport(folder.file("song.wav"), 1);
    EXPECT_EQ(fileContents(report), std::string("mono,mono\r\n"));
}

TEST(TextReport, AnUnwritablePlaceIsSkippedSilently) {
    ScratchFolder folder;
    // A folder that does not exist, and a path through a regular file.
    writeTextReport(folder.file("missing/song.wav"), 1);
    std::ofstream(folder.path() / "plain", std::ios::binary) << "x";
    writeTextReport(folder.file("plain/song.wav"), 2);
    EXPECT_EQ(filesIn(folder.path()), 1);
    EXPECT_EQ(fileContents(folder.path() / "plain"), "x");
}

TEST(TextReport, AFailedReplacementKeepsWhatStoodThere) {
    ScratchFolder folder;
    // The report's name is taken by a folder with something in it: the new
    // report cannot take its place, and neither the folder nor a temporary is lost or left.
    const fs::path taken = folder.path() / "song VT.txt";
    fs::create_directory(taken);
    std::ofstream(taken / "keep", std::ios::binary) << "kept";
    writeTextReport(folder.file("song.wav"), 1);
    EXPECT_TRUE(fs::is_directory(taken));
    EXPECT_EQ(fileContents(taken / "keep"), "kept");
    EXPECT_EQ(filesIn(folder.path()), 1);
}

TEST(TextReport, AReadOnlyFolderKeepsThePreviousReport) {
    ScratchFolder folder;
    const fs::path readOnly = folder.path() / "read-only";
    fs::create_directory(readOnly);
    const fs::path report = readOnly / "song VT.txt";
    std::ofstream(report, std::ios::binary) << "left, left, right, right\r\n";
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec);
    // Whoever may still create files here (the superuser) cannot see this failure.
    const bool writable = static_cast<bool>(std::ofstream(readOnly / "probe"));
    if (!writable) {
        writeTextReport((readOnly / "song.wav").string(), 1);
        EXPECT_EQ(fileContents(report), std::string("left, left, right, right\r\n"));
        EXPECT_EQ(filesIn(readOnly), 1);
    }
    fs::permissions(readOnly, fs::perms::owner_all);
    if (writable) GTEST_SKIP() << "file modes do not bind this user";
}

}  // namespace
}  // namespace vantorel::output
