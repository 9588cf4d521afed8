// The line editor on the in-memory console: echo, Backspace, ignored keys, limit.

#include <gtest/gtest.h>

#include <string>

#include "app/main_loop.h"
#include "platform/memory_console.h"

namespace vantorel::app {
namespace {

using platform::cellAt;
using platform::KeyPress;
using platform::MemoryConsoleDevice;
using platform::rowText;

struct EditorFixture : ::testing::Test {
    MemoryConsoleDevice device;
    platform::Console console = platform::makeConsole(device);
};

TEST_F(EditorFixture, EchoesAtTheCursorInTheCurrentColourAndEndsOnEnter) {
    platform::moveCursor(console, 8, 29);
    platform::setAttribute(console, platform::kAttributeStrong);
    device.type(" song.wav \r");
    EXPECT_EQ(readConsoleLine(console), " song.wav ");  // blanks are kept
    EXPECT_EQ(rowText(console.screen, 8).substr(28, 10), " song.wav ");
    EXPECT_EQ(cellAt(console.screen, 8, 30).attribute, platform::kAttributeStrong);
    EXPECT_EQ(console.screen.cursorRow, 9);
    EXPECT_EQ(console.screen.cursorColumn, 1);
}

TEST_F(EditorFixture, BackspaceDropsTheLastCharacterAndDoesNothingOnAnEmptyLine) {
    platform::moveCursor(console, 8, 29);
    device.type("\b\babc\bd\r");
    EXPECT_EQ(readConsoleLine(console), "abd");
    EXPECT_EQ(rowText(console.screen, 8).substr(28, 4), "abd ");
    EXPECT_EQ(rowText(console.screen, 8).substr(0, 28), std::string(28, ' '));
}

TEST_F(EditorFixture, BackspaceAtColumnOneErasesTheLastCellOfTheRowAbove) {
    platform::moveCursor(console, 8, 79);
    device.type("xy");  // 'y' lands in column 80, the cursor wraps to row 9
    device.type("\b");
    device.type("z\r");
    EXPECT_EQ(readConsoleLine(console), "xz");
    EXPECT_EQ(cellAt(console.screen, 8, 79).character, "x");
    EXPECT_EQ(cellAt(console.screen, 8, 80).character, "z");
    EXPECT_EQ(rowText(console.screen, 9), std::string(80, ' '));
}

TEST_F(EditorFixture, ControlCodesAndKeysWithoutCharactersAreIgnored) {
    device.type("a\x03\x1b\t");  // Ctrl+C, Escape, Tab
    device.pressKeyWithoutCharacter();  // an arrow key
    device.type("b\r");
    EXPECT_EQ(readConsoleLine(console), "ab");
    EXPECT_EQ(rowText(console.screen, 1).substr(0, 3), "ab ");
}

TEST_F(EditorFixture, KeepsAtMostTenThousandCharacters) {
    device.type(std::string(10000, 'k') + "XYZ\r");
    const auto line = readConsoleLine(console);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->size(), 10000u);
    EXPECT_EQ(line->find('X'), std::string::npos);
}

TEST_F(EditorFixture, AUtf8CharacterIsOneCellAndBackspaceRemovesItWhole) {
    device.type("é\xd0\x96\b\xd0\xaf\r");  // é, Ж, Backspace, Я
    EXPECT_EQ(readConsoleLine(console), "é\xd0\xaf");
    EXPECT_EQ(cellAt(console.screen, 1, 1).character, "é");
    EXPECT_EQ(cellAt(console.screen, 1, 2).character, "\xd0\xaf");
    EXPECT_EQ(cellAt(console.screen, 1, 3).character, " ");
}

TEST_F(EditorFixture, ShowsTheCursorWhileWaitingAndRestoresItsVisibility) {
    platform::setCursorVisible(console, false);
    device.type("a");
    // The script ends without Enter: the input is closed and no line comes back.
    EXPECT_EQ(readConsoleLine(console), std::nullopt);
    EXPECT_FALSE(console.screen.cursorVisible);
}

TEST(ErrorBox, BeepsThenShowsTheMessageUnderTheErrorCaption) {
    MemoryConsoleDevice device;
    platform::Console console = platform::makeConsole(device);
    showErrorBox(console, "  a message\\nsecond  ");
    ASSERT_EQ(device.boxes.size(), 1u);
    EXPECT_EQ(device.boxes[0].message, "  a message\\nsecond  ");
    EXPECT_EQ(device.boxes[0].caption, "  ERROR");
    EXPECT_EQ(device.boxes[0].beepsBefore, 1);
}

}  // namespace
}  // namespace vantorel::app
