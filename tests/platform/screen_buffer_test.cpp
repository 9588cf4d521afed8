#include "platform/screen_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantorel::platform {
namespace {

using Characters = std::vector<std::string>;

ScreenBuffer standardScreen() { return makeScreenBuffer(kScreenColumns, kScreenRows); }

void expectCursor(const ScreenBuffer& screen, int row, int column) {
    EXPECT_EQ(screen.cursorRow, row);
    EXPECT_EQ(screen.cursorColumn, column);
}

TEST(ScreenBuffer, ClearingBlanksEveryCellInTheCurrentAttributeAndHomesTheCursor) {
    ScreenBuffer screen = standardScreen();
    moveCursor(screen, 12, 40);
    writeText(screen, "some text");
    screen.attribute = kAttributeDim;
    clearScreen(screen);
    ASSERT_EQ(screen.cells.size(), 80u * 33u);
    for (int row = 1; row <= kScreenRows; ++row)
        for (int column = 1; column <= kScreenColumns; ++column) {
            EXPECT_EQ(cellAt(screen, row, column).character, " ");
            EXPECT_EQ(cellAt(screen, row, column).attribute, kAttributeDim);
        }
    expectCursor(screen, 1, 1);
}

TEST(ScreenBuffer, TextWrapsFromTheLastColumnToTheNextRow) {
    ScreenBuffer screen = standardScreen();
    moveCursor(screen, 3, 78);
    writeText(screen, "abcd");
    EXPECT_EQ(rowText(screen, 3).substr(77), "abc");
    EXPECT_EQ(rowText(screen, 4).substr(0, 2), "d ");
    expectCursor(screen, 4, 2);
    // Writing exactly up to the last column already moves the cursor on.
    moveCursor(screen, 6, 80);
    writeText(screen, "z");
    expectCursor(screen, 6 + 1, 1);
    // Out-of-range positions are held inside the screen.
    moveCursor(screen, 0, 200);
    expectCursor(screen, 1, 80);
    moveCursor(screen, 99, -5);
    expectCursor(screen, 33, 1);
}

TEST(ScreenBuffer, LastCellAndNewlineOnTheLastRowScrollByOneRow) {
    ScreenBuffer screen = standardScreen();
    writeText(screen, "first");
    moveCursor(screen, 2, 1);
    writeText(screen, "second");
    moveCursor(screen, 33, 80);
    screen.attribute = kAttributeDim;
    writeText(screen, "X");
    EXPECT_EQ(rowText(screen, 1).substr(0, 6), "second");
    EXPECT_EQ(rowText(screen, 32).substr(79), "X");
    EXPECT_EQ(rowText(screen, 33), std::string(80, ' '));
    EXPECT_EQ(cellAt(screen, 33, 1).attribute, kAttributeDim);  // the new row takes the current colour
    expectCursor(screen, 33, 1);

    writeText(screen, "last\n");
    EXPECT_EQ(rowText(screen, 32).substr(0, 4), "last");
    EXPECT_EQ(rowText(screen, 31).substr(79), "X");
    EXPECT_EQ(rowText(screen, 33), std::string(80, ' '));
    expectCursor(screen, 33, 1);

    // Above the last row a newline only moves the cursor.
    moveCursor(screen, 10, 30);
    newLine(screen);
    expectCursor(screen, 11, 1);
    EXPECT_EQ(rowText(screen, 32).substr(0, 4), "last");
}

TEST(ScreenBuffer, ColourChangesAffectOnlyLaterText) {
    ScreenBuffer screen = standardScreen();
    writeText(screen, "ab");
    screen.attribute = kAttributeDim;
    writeText(screen, "c");
    EXPECT_EQ(cellAt(screen, 1, 1).attribute, kAttributeStrong);
    EXPECT_EQ(cellAt(screen, 1, 2).attribute, kAttributeStrong);
    EXPECT_EQ(cellAt(screen, 1, 3).attribute, kAttributeDim);
    EXPECT_EQ(cellAt(screen, 1, 4).attribute, kAttributeStrong);  // untouched blank
}

TEST(ScreenBuffer, MovingBackCrossesRowStartsButNotTheHome) {
    ScreenBuffer screen = standardScreen();
    moveCursor(screen, 5, 7);
    moveCursorBack(screen);
    expectCursor(screen, 5, 6);
    moveCursor(screen, 5, 1);
    moveCursorBack(screen);
    expectCursor(screen, 4, 80);
    moveCursor(screen, 1, 1);
    moveCursorBack(screen);
    expectCursor(screen, 1, 1);
}

TEST(ScreenBuffer, WellFormedUtf8IsOneCharacter) {
    EXPECT_EQ(splitCharacters("a\xC3\xA9z"), (Characters{"a", "\xC3\xA9", "z"}));              // é
    EXPECT_EQ(splitCharacters("\xD0\x96\xD1\x8F"), (Characters{"\xD0\x96", "\xD1\x8F"}));      // Жя
    EXPECT_EQ(splitCharacters("\xE2\x82\xAC"), (Characters{"\xE2\x82\xAC"}));                  // €
    EXPECT_EQ(splitCharacters("\xF0\x9F\x98\x80!"), (Characters{"\xF0\x9F\x98\x80", "!"}));    // U+1F600
    EXPECT_EQ(splitCharacters("\xF4\x8F\xBF\xBF"), (Characters{"\xF4\x8F\xBF\xBF"}));          // U+10FFFF
    EXPECT_EQ(splitCharacters(""), Characters{});

    // One cell each, also at the wrap.
    ScreenBuffer screen = standardScreen();
    moveCursor(screen, 2, 79);
    writeText(screen, "\xC3\xA9\xF0\x9F\x98\x80\xD0\x96");
    EXPECT_EQ(cellAt(screen, 2, 79).character, "\xC3\xA9");
    EXPECT_EQ(cellAt(screen, 2, 80).character, "\xF0\x9F\x98\x80");
    EXPECT_EQ(cellAt(screen, 3, 1).character, "\xD0\x96");
    expectCursor(screen, 3, 2);
}

TEST(ScreenBuffer, MalformedUtf8SplitsIntoSingleBytes) {
    EXPECT_EQ(splitCharacters("\x80"), (Characters{"\x80"}));                                  // lone continuation
    EXPECT_EQ(splitCharacters("\xC3"), (Characters{"\xC3"}));                                  // truncated at the end
    EXPECT_EQ(splitCharacters("\xC3" "A"), (Characters{"\xC3", "A"}));                         // broken by ASCII
    EXPECT_EQ(splitCharacters("\xF0\x9F\x98"), (Characters{"\xF0", "\x9F", "\x98"}));          // 3 of 4 bytes
    EXPECT_EQ(splitCharacters("\xC0\xAF"), (Characters{"\xC0", "\xAF"}));                      // overlong '/'
    EXPECT_EQ(splitCharacters("\xC1\xBF"), (Characters{"\xC1", "\xBF"}));                      // overlong
    EXPECT_EQ(splitCharacters("\xE0\x80\xAF"), (Characters{"\xE0", "\x80", "\xAF"}));          // overlong 3-byte
    EXPECT_EQ(splitCharacters("\xF0\x8F\xBF\xBF"), (Characters{"\xF0", "\x8F", "\xBF", "\xBF"}));  // overlong 4-byte
    EXPECT_EQ(splitCharacters("\xED\xA0\x80"), (Characters{"\xED", "\xA0", "\x80"}));          // surrogate
    EXPECT_EQ(splitCharacters("\xF4\x90\x80\x80"), (Characters{"\xF4", "\x90", "\x80", "\x80"}));  // past U+10FFFF
    EXPECT_EQ(splitCharacters("\xFF\xC3\xA9"), (Characters{"\xFF", "\xC3\xA9"}));              // recovers after junk
}

}  // namespace
}  // namespace vantorel::platform
