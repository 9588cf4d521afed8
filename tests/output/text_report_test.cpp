// Result names and the one-line report, checked against hand-written names and bytes.

#include <gtest/gtest.h>

#include <string>

#include "output/text_report.h"

namespace vantorel::output {
namespace {

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
    EXPECT_EQ(reportLine(1), "mono,mono\r\n");
    EXPECT_EQ(reportLine(1).size(), 11u);
    EXPECT_EQ(reportLine(2), "left, left, right, right\r\n");
    EXPECT_EQ(reportLine(2).size(), 26u);
    // No report for other channel counts.
    for (const int channels : {0, 3, 6, -1}) EXPECT_TRUE(reportLine(channels).empty()) << channels;
}

}  // namespace
}  // namespace vantorel::output
