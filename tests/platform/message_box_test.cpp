#include "platform/message_box.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantorel::platform {
namespace {

using Lines = std::vector<std::string>;

// The box the tool shows for a name that cannot be opened.
constexpr const char* kFileNotFound = "           File not found.\\nPlease enter a valid filename  ";

TEST(MessageBoxLines, BackslashNBreaksTheLineAndBlanksAroundEachLineGo) {
    EXPECT_EQ(messageLines(kFileNotFound), (Lines{"File not found.", "Please enter a valid filename"}));
    EXPECT_EQ(messageLines("You must respond either Y or N  "), (Lines{"You must respond either Y or N"}));
    EXPECT_EQ(messageLines("one\ntwo"), (Lines{"one", "two"}));
}

TEST(MessageBoxLines, OnlyABackslashFollowedByNBreaks) {
    EXPECT_EQ(messageLines("a\\b"), (Lines{"a\\b"}));
    EXPECT_EQ(messageLines("a\\\\nb"), (Lines{"a\\", "b"}));
    EXPECT_EQ(messageLines("ends with \\"), (Lines{"ends with \\"}));
    EXPECT_EQ(messageLines("n\\N"), (Lines{"n\\N"}));
}

TEST(MessageBoxLines, EmptyPiecesStayAsEmptyLines) {
    EXPECT_EQ(messageLines(""), (Lines{""}));
    EXPECT_EQ(messageLines("   "), (Lines{""}));
    EXPECT_EQ(messageLines("last\\n"), (Lines{"last", ""}));
    EXPECT_EQ(messageLines("\\n\\n"), (Lines{"", "", ""}));
}

TEST(MessageBoxLayout, FileNotFoundBoxOnTheFullScreen) {
    // Widest line 29 characters, 3 blanks each side, 2 borders: 37 wide.
    // Rows: border, blank, 2 lines, blank, button, border: 7 high.
    const MessageBoxLayout box = layoutMessageBox(kFileNotFound, "  ERROR", 80, 33);
    EXPECT_EQ(box.width, 37);
    EXPECT_EQ(box.height, 7);
    EXPECT_EQ(box.left, 22);  // 21 columns left of it, 22 right of it
    EXPECT_EQ(box.top, 14);   // 13 rows above, 13 below
    EXPECT_EQ(box.caption, "ERROR");
    EXPECT_EQ(box.captionColumn, 25);
    ASSERT_EQ(box.lines.size(), 2u);
    EXPECT_EQ(box.lines[0].text, "File not found.");
    EXPECT_EQ(box.lines[0].row, 16);
    EXPECT_EQ(box.lines[0].column, 33);  // 7 blanks of the 14 spare go left
    EXPECT_EQ(box.lines[1].text, "Please enter a valid filename");
    EXPECT_EQ(box.lines[1].row, 17);
    EXPECT_EQ(box.lines[1].column, 26);
    EXPECT_EQ(box.buttonRow, 19);
    EXPECT_EQ(box.buttonColumn, 37);
}

TEST(MessageBoxLayout, WidthFollowsTheWidestOfTextCaptionAndButton) {
    // Button alone: 6 + 2 x 3 + 2.
    EXPECT_EQ(layoutMessageBox("x", "", 80, 33).width, 14);
    // A 20-character caption needs 22 columns of text width.
    EXPECT_EQ(layoutMessageBox("x", "ABCDEFGHIJKLMNOPQRST", 80, 33).width, 30);
    // Characters are counted, not bytes: 16 two-byte characters.
    EXPECT_EQ(layoutMessageBox("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
                               "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9",
                               "", 80, 33)
                  .width,
              24);
}

TEST(MessageBoxLayout, LongLinesWrapInANarrowArea) {
    const std::string line(40, 'a');
    const MessageBoxLayout box = layoutMessageBox(line, "E", 20, 12);
    EXPECT_EQ(box.width, 20);
    EXPECT_EQ(box.left, 1);
    // 18 columns inside the borders, one blank each side: 16 per line.
    ASSERT_EQ(box.lines.size(), 3u);
    EXPECT_EQ(box.lines[0].text, std::string(16, 'a'));
    EXPECT_EQ(box.lines[1].text, std::string(16, 'a'));
    EXPECT_EQ(box.lines[2].text, std::string(8, 'a'));
    EXPECT_EQ(box.lines[0].column, 3);
    EXPECT_EQ(box.lines[2].column, 7);
}

TEST(MessageBoxLayout, LinesBeyondTheAreaHeightAreDroppedButTheButtonStays) {
    const MessageBoxLayout box = layoutMessageBox("1\\n2\\n3\\n4\\n5", "E", 80, 6);
    EXPECT_EQ(box.height, 6);
    EXPECT_EQ(box.top, 1);
    ASSERT_EQ(box.lines.size(), 3u);  // no blank rows left around them
    EXPECT_EQ(box.lines[0].text, "1");
    EXPECT_EQ(box.lines[0].row, 2);
    EXPECT_EQ(box.lines[2].row, 4);
    EXPECT_EQ(box.buttonRow, 5);
}

TEST(MessageBoxLayout, ALongCaptionIsCutToTheTopBorder) {
    const MessageBoxLayout box = layoutMessageBox("x", std::string(100, 'C'), 30, 10);
    EXPECT_EQ(box.width, 30);
    EXPECT_EQ(box.caption, std::string(24, 'C'));
}

TEST(MessageBoxLayout, EverythingStaysInsideTheFrameAndTheAreaForEveryAreaSize) {
    for (int columns = 8; columns <= 90; ++columns) {
        for (int rows = 5; rows <= 36; ++rows) {
            SCOPED_TRACE(std::to_string(columns) + "x" + std::to_string(rows));
            const MessageBoxLayout box = layoutMessageBox(kFileNotFound, "  ERROR", columns, rows);
            const int right = box.left + box.width - 1;
            const int bottom = box.top + box.height - 1;
            ASSERT_GE(box.left, 1);
            ASSERT_GE(box.top, 1);
            ASSERT_LE(right, columns);
            ASSERT_LE(bottom, rows);
            // Centred: the spare columns and rows split evenly, the odd one going right and down.
            EXPECT_EQ(box.left - 1, (columns - box.width) / 2);
            EXPECT_EQ(box.top - 1, (rows - box.height) / 2);
            EXPECT_LE(box.captionColumn + static_cast<int>(box.caption.size()), right - 1);
            EXPECT_EQ(box.buttonRow, bottom - 1);
            int previousRow = box.top;
            for (const MessageBoxLine& line : box.lines) {
                EXPECT_GT(line.row, previousRow);
                EXPECT_LT(line.row, box.buttonRow);
                EXPECT_GT(line.column, box.left);
                EXPECT_LT(line.column + static_cast<int>(line.text.size()) - 1, right);
                previousRow = line.row;
            }
            if (rows >= 7) {
                EXPECT_GE(box.lines.size(), 2u);
            }
        }
    }
}

}  // namespace
}  // namespace vantorel::platform
