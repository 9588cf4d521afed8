// How the Windows console front turns key events into key presses and screen
// cells into console characters.

#include "platform/win32/console_codes.h"

#include <gtest/gtest.h>

namespace vantorel::platform::win32 {
namespace {

constexpr unsigned kWesternCodePage = 1252;
constexpr unsigned kOemUsCodePage = 437;

TEST(ConsoleKeys, EnterBackspaceAndControlCodesArriveAsTheirBytes) {
    EXPECT_EQ(keyPressForCharacterCode('\r').character, "\r");
    EXPECT_EQ(keyPressForCharacterCode('\b').character, "\b");
    EXPECT_EQ(keyPressForCharacterCode('\x03').character, "\x03");
    EXPECT_FALSE(keyPressForCharacterCode('\r').inputClosed);
}

TEST(ConsoleKeys, PrintableAndHighCodesArriveAsOneByte) {
    EXPECT_EQ(keyPressForCharacterCode('a').character, "a");
    EXPECT_EQ(keyPressForCharacterCode(' ').character, " ");
    EXPECT_EQ(keyPressForCharacterCode('\xE9').character, "\xE9");  // e acute in code page 1252
}

TEST(ConsoleKeys, AKeyWithoutACharacterGivesAnEmptyPress) {
    const KeyPress arrow = keyPressForCharacterCode('\0');
    EXPECT_TRUE(arrow.character.empty());
    EXPECT_FALSE(arrow.inputClosed);
}

TEST(ConsoleKeys, ReleasesCountNothingAndHeldKeysCountTheirRepeats) {
    EXPECT_EQ(keyPressCount(false, 1), 0);
    EXPECT_EQ(keyPressCount(false, 5), 0);
    EXPECT_EQ(keyPressCount(true, 1), 1);
    EXPECT_EQ(keyPressCount(true, 0), 1);
    EXPECT_EQ(keyPressCount(true, 3), 3);
}

TEST(ConsoleCells, EmptyCellsAndBlanksShowAsBlanks) {
    EXPECT_EQ(consoleCharacterFor("", kWesternCodePage), L' ');
    EXPECT_EQ(consoleCharacterFor(" ", kWesternCodePage), L' ');
}

TEST(ConsoleCells, AsciiShowsAsItselfInAnyCodePage) {
    EXPECT_EQ(consoleCharacterFor("A", kWesternCodePage), L'A');
    EXPECT_EQ(consoleCharacterFor("~", kOemUsCodePage), L'~');
    EXPECT_EQ(consoleCharacterFor("[", kUtf8CodePage), L'[');
}

TEST(ConsoleCells, ASingleHighByteIsReadInTheConsoleCodePage) {
    EXPECT_EQ(consoleCharacterFor("\xE9", kWesternCodePage), L'\u00E9');  // e acute
    EXPECT_EQ(consoleCharacterFor("\x82", kOemUsCodePage), L'\u00E9');    // e acute in 437
    EXPECT_EQ(consoleCharacterFor("\x80", kWesternCodePage), L'\u20AC');  // euro sign
}

TEST(ConsoleCells, SeveralBytesAreOneUtf8Character) {
    EXPECT_EQ(consoleCharacterFor("\xC3\xA9", kWesternCodePage), L'\u00E9');
    EXPECT_EQ(consoleCharacterFor("\xE2\x82\xAC", kUtf8CodePage), L'\u20AC');
}

TEST(ConsoleCells, ControlCodesAndBytesThatAreNoCharacterShowAsQuestionMarks) {
    EXPECT_EQ(consoleCharacterFor("\x07", kWesternCodePage), L'?');
    EXPECT_EQ(consoleCharacterFor("\x7F", kWesternCodePage), L'?');
    EXPECT_EQ(consoleCharacterFor("\xE9", kUtf8CodePage), L'?');              // a lone UTF-8 lead byte
    EXPECT_EQ(consoleCharacterFor("\xC3\x28", kWesternCodePage), L'?');       // broken sequence
    EXPECT_EQ(consoleCharacterFor("\xF0\x9F\x8E\xB5", kUtf8CodePage), L'?');  // beyond 16 bits
    EXPECT_EQ(consoleCharacterFor("\xC2\x85", kUtf8CodePage), L'?');          // C1 control
}

}  // namespace
}  // namespace vantorel::platform::win32
