#include "platform/posix/terminal_characters.h"

#include <gtest/gtest.h>

#include <locale.h>

#include <string>
#include <vector>

namespace vantorel::platform {
namespace {

// Runs each test under one named locale on this thread only.
class InLocale {
public:
    explicit InLocale(const char* name) : locale_(newlocale(LC_ALL_MASK, name, static_cast<locale_t>(0))) {
        if (locale_ != static_cast<locale_t>(0)) previous_ = uselocale(locale_);
    }
    ~InLocale() {
        if (locale_ == static_cast<locale_t>(0)) return;
        uselocale(previous_);
        freelocale(locale_);
    }
    InLocale(const InLocale&) = delete;
    InLocale& operator=(const InLocale&) = delete;
    bool available() const { return locale_ != static_cast<locale_t>(0); }

private:
    locale_t locale_;
    locale_t previous_ = static_cast<locale_t>(0);
};

std::string keyBytes(wchar_t code, wchar_t erase = 127) { return keyPressForCharacter(code, erase).character; }

TEST(TerminalKeys, EnterBackspaceAndControlCodes) {
    InLocale utf8("C.UTF-8");
    ASSERT_TRUE(utf8.available());
    EXPECT_EQ(keyBytes(13), "\r");
    EXPECT_EQ(keyBytes(10), "\r");
    EXPECT_EQ(keyBytes(8), "\b");
    EXPECT_EQ(keyBytes(127), "\b");
    EXPECT_EQ(keyBytes(21, 21), "\b");  // a terminal whose erase key is Ctrl+U
    EXPECT_EQ(keyBytes(21, 127), "\x15");
    EXPECT_EQ(keyBytes(3), "\x03");  // Ctrl+C is a code, not a signal
    EXPECT_EQ(keyBytes(27), "\x1b");
    EXPECT_EQ(keyBytes(0), std::string(1, '\0'));
    EXPECT_EQ(keyBytes(31), "\x1f");
    EXPECT_FALSE(keyPressForCharacter(3, 127).inputClosed);
}

TEST(TerminalKeys, PrintableCharactersBecomeTheirUtf8Bytes) {
    InLocale utf8("C.UTF-8");
    ASSERT_TRUE(utf8.available());
    EXPECT_EQ(keyBytes(L' '), " ");
    EXPECT_EQ(keyBytes(L'a'), "a");
    EXPECT_EQ(keyBytes(L'~'), "~");
    EXPECT_EQ(keyBytes(0xE9), "\xC3\xA9");              // e acute
    EXPECT_EQ(keyBytes(0x20AC), "\xE2\x82\xAC");        // euro sign
    EXPECT_EQ(keyBytes(0x1F600), "\xF0\x9F\x98\x80");   // outside the basic plane
}

TEST(TerminalKeys, CodesWithoutACharacterGiveNone) {
    InLocale utf8("C.UTF-8");
    ASSERT_TRUE(utf8.available());
    EXPECT_EQ(keyBytes(0x80), "");
    EXPECT_EQ(keyBytes(0x9B), "");  // C1 control sequence introducer
    EXPECT_EQ(keyBytes(0x110000), "");
    EXPECT_EQ(keyBytes(0xD800), "");  // a lone surrogate
    EXPECT_EQ(keyBytes(0xDFFF), "");
    EXPECT_EQ(keyBytes(0x10FFFF), "\xF4\x8F\xBF\xBF");  // the last code point is still one
    InLocale plain("C");
    ASSERT_TRUE(plain.available());
    EXPECT_EQ(keyBytes(0x20AC), "");  // no euro sign in plain ASCII
    EXPECT_EQ(keyBytes(L'a'), "a");
}

// Feeds bytes to a decoder; the characters it gives, each as its bytes and
// its code point ('?' for bytes that make no character in the locale).
struct Decoded {
    std::vector<std::string> bytes;
    std::u32string codes;
};

void append(Decoded& decoded, const std::vector<TypedCharacter>& characters) {
    for (const TypedCharacter& character : characters) {
        decoded.bytes.push_back(character.bytes);
        decoded.codes += character.code ? static_cast<char32_t>(*character.code) : U'?';
    }
}

Decoded decodeBytes(const std::string& bytes, KeyByteDecoder& decoder) {
    Decoded decoded;
    for (const char byte : bytes) append(decoded, decodeKeyByte(decoder, static_cast<unsigned char>(byte)));
    return decoded;
}

Decoded decodeBytes(const std::string& bytes) {
    KeyByteDecoder decoder;
    return decodeBytes(bytes, decoder);
}

std::string joined(const Decoded& decoded) {
    std::string all;
    for (const std::string& bytes : decoded.bytes) all += bytes;
    return all;
}

TEST(TerminalKeyBytes, WellFormedUtf8GivesOneCharacterPerSequence) {
    InLocale utf8("C.UTF-8");
    ASSERT_TRUE(utf8.available());
    EXPECT_EQ(decodeBytes("ab").codes, U"ab");
    EXPECT_EQ(decodeBytes("\xC3\xA9").codes, U"\u00E9");
    EXPECT_EQ(decodeBytes("\xE2\x82\xAC!").bytes, (std::vector<std::string>{"\xE2\x82\xAC", "!"}));
    EXPECT_EQ(decodeBytes("\xF0\x9F\x98\x80").codes, U"\U0001F600");
    EXPECT_EQ(decodeBytes(std::string("\x03\x1b\r\x7f\0", 5)).codes, std::u32string(U"\x03\x1b\r\x7f\0", 5));
    KeyByteDecoder decoder;
    EXPECT_TRUE(decodeKeyByte(decoder, 0xC3).empty());
    EXPECT_EQ(decoder.held, "\xC3");
    EXPECT_EQ(decodeBytes("\xA9", decoder).codes, U"\u00E9");
    EXPECT_TRUE(decoder.held.empty());
}

// Every byte typed is kept, in order: a name with a stray byte must never
// turn into another file's name.
TEST(TerminalKeyBytes, BytesThatMakeNoCharacterAreKeptOneByOneAndDoNotHoldUpLaterKeys) {
    InLocale utf8("C.UTF-8");
    ASSERT_TRUE(utf8.available());
    EXPECT_EQ(decodeBytes("a\xE9" "bcd").codes, U"a?bcd");  // a Latin-1 byte in UTF-8 input
    EXPECT_EQ(decodeBytes("a\xFF.wav").bytes, (std::vector<std::string>{"a", "\xFF", ".", "w", "a", "v"}));
    EXPECT_EQ(decodeBytes("\xC0\xAF" "y").codes, U"??y");   // overlong
    EXPECT_EQ(decodeBytes("\xA9" "z").codes, U"?z");        // a continuation byte alone
    const Decoded cut = decodeBytes("\xE2\x82\xC3\xA9");    // cut short, then a whole one
    EXPECT_EQ(cut.codes, U"??\u00E9");
    EXPECT_EQ(joined(cut), "\xE2\x82\xC3\xA9");
    EXPECT_EQ(joined(decodeBytes("\xED\xA0\x80" "s")), "\xED\xA0\x80" "s");  // an encoded surrogate
    const std::string junk(200, '\xFF');
    EXPECT_EQ(joined(decodeBytes(junk + "ok")), junk + "ok");
}

TEST(TerminalKeyBytes, AKeyBetweenTheBytesOfACharacterLetsThemOutAsTyped) {
    InLocale utf8("C.UTF-8");
    ASSERT_TRUE(utf8.available());
    KeyByteDecoder decoder;
    EXPECT_TRUE(decodeBytes("\xE2\x82", decoder).bytes.empty());
    Decoded flushed;
    append(flushed, flushKeyByteDecoder(decoder));
    EXPECT_EQ(flushed.bytes, (std::vector<std::string>{"\xE2", "\x82"}));
    EXPECT_TRUE(decoder.held.empty());
    EXPECT_EQ(decodeBytes("\xA9" "q", decoder).codes, U"?q");
}

TEST(TerminalKeyBytes, APlainAsciiLocaleKeepsEveryHighByteAsTyped) {
    InLocale plain("C");
    ASSERT_TRUE(plain.available());
    const std::string latin1 = "s\xF3ng.w\xE4v";  // sóng.wäv in Latin-1
    const Decoded decoded = decodeBytes(latin1);
    EXPECT_EQ(decoded.codes, U"s?ng.w?v");
    EXPECT_EQ(joined(decoded), latin1);
    std::string typed;
    for (const std::string& bytes : decoded.bytes)
        typed += keyPressForTyped(TypedCharacter{bytes, std::nullopt}, 127).character;
    EXPECT_EQ(typed, latin1);
    EXPECT_EQ(joined(decodeBytes("a\xC3\xA9" "b\xE2\x82\xAC" "c")), "a\xC3\xA9" "b\xE2\x82\xAC" "c");
}

TEST(TerminalDisplay, OneColumnCharactersShowAsThemselves) {
    InLocale utf8("C.UTF-8");
    ASSERT_TRUE(utf8.available());
    EXPECT_EQ(displayCharacter(" "), L' ');
    EXPECT_EQ(displayCharacter(""), L' ');
    EXPECT_EQ(displayCharacter("A"), L'A');
    EXPECT_EQ(displayCharacter("\xC3\xA9"), static_cast<wchar_t>(0xE9));
    EXPECT_EQ(displayCharacter("\xE2\x94\x80"), static_cast<wchar_t>(0x2500));  // box-drawing line
}

TEST(TerminalDisplay, AnythingThatIsNotOneOneColumnCharacterShowsAsQuestionMark) {
    InLocale utf8("C.UTF-8");
    ASSERT_TRUE(utf8.available());
    EXPECT_EQ(displayCharacter("\xFF"), L'?');              // never valid in UTF-8
    EXPECT_EQ(displayCharacter("\xE9"), L'?');              // a Latin-1 byte
    EXPECT_EQ(displayCharacter("\xC3"), L'?');              // cut short
    EXPECT_EQ(displayCharacter("\xC0\xAF"), L'?');          // overlong
    EXPECT_EQ(displayCharacter("\x01"), L'?');
    EXPECT_EQ(displayCharacter("\x1b"), L'?');
    EXPECT_EQ(displayCharacter("\x7f"), L'?');
    EXPECT_EQ(displayCharacter("\xC2\x85"), L'?');          // C1 control
    EXPECT_EQ(displayCharacter("ab"), L'?');                // two characters in one cell
    EXPECT_EQ(displayCharacter("\xE4\xB8\xAD"), L'?');      // a two-column character
    EXPECT_EQ(displayCharacter("\xCC\x81"), L'?');          // a combining accent alone
    EXPECT_EQ(displayCharacter(std::string("\0", 1)), L'?');
    InLocale plain("C");
    ASSERT_TRUE(plain.available());
    EXPECT_EQ(displayCharacter("\xC3\xA9"), L'?');
    EXPECT_EQ(displayCharacter("x"), L'x');
}

TEST(TerminalColours, SixteenColoursShowTheConsoleColoursExactly) {
    // curses numbers colours red = 1, green = 2, blue = 4; the console blue = 1, red = 4.
    const TerminalColours strong = terminalColoursFor(0xF0, 256);
    EXPECT_TRUE(strong.usesColour);
    EXPECT_EQ(strong.foreground, 0);
    EXPECT_EQ(strong.background, 15);
    EXPECT_FALSE(strong.dim);
    EXPECT_FALSE(strong.bold);
    const TerminalColours dim = terminalColoursFor(0xF8, 16);
    EXPECT_EQ(dim.foreground, 8);
    EXPECT_EQ(dim.background, 15);
    EXPECT_FALSE(dim.dim);
    const TerminalColours blueOnRed = terminalColoursFor(0x41, 16);
    EXPECT_EQ(blueOnRed.foreground, 4);
    EXPECT_EQ(blueOnRed.background, 1);
    const TerminalColours yellowOnCyan = terminalColoursFor(0x3E, 16);  // 14 bright yellow on 3 cyan
    EXPECT_EQ(yellowOnCyan.foreground, 11);
    EXPECT_EQ(yellowOnCyan.background, 6);
    EXPECT_EQ(terminalColoursFor(0x2D, 16).foreground, 13);  // bright magenta keeps its number
}

TEST(TerminalColours, EightColoursDropTheBrightBit) {
    const TerminalColours strong = terminalColoursFor(0xF0, 8);
    EXPECT_TRUE(strong.usesColour);
    EXPECT_EQ(strong.foreground, 0);
    EXPECT_EQ(strong.background, 7);
    EXPECT_FALSE(strong.dim);
    const TerminalColours dim = terminalColoursFor(0xF8, 8);
    EXPECT_EQ(dim.foreground, 0);  // dark grey is dim black
    EXPECT_EQ(dim.background, 7);
    EXPECT_TRUE(dim.dim);
    EXPECT_FALSE(dim.bold);
    const TerminalColours brightBlue = terminalColoursFor(0x79, 8);
    EXPECT_EQ(brightBlue.foreground, 4);
    EXPECT_TRUE(brightBlue.bold);
    EXPECT_FALSE(brightBlue.dim);
}

TEST(TerminalColours, WithoutColoursOnlyDarkGreyTextIsMarked) {
    EXPECT_FALSE(terminalColoursFor(0xF0, 0).usesColour);
    EXPECT_FALSE(terminalColoursFor(0xF0, 0).dim);
    EXPECT_FALSE(terminalColoursFor(0xF8, 2).usesColour);
    EXPECT_TRUE(terminalColoursFor(0xF8, 2).dim);
}

TEST(TerminalView, TheViewHoldsTheCursorAndMovesOnlyWhenItMust) {
    struct Case {
        int terminalColumns, terminalRows, cursorColumn, cursorRow;
        ScreenView view;
    };
    const Case cases[] = {
        {80, 33, 80, 33, {1, 1, 33, 80}},    // the screen's own size shows all of it
        {120, 50, 80, 33, {1, 1, 33, 80}},   // a larger terminal too, at its top left
        {80, 24, 29, 24, {1, 1, 24, 80}},    // the cursor on the last row in view
        {80, 24, 29, 25, {2, 1, 24, 80}},    // one row further: the rows end at it
        {80, 24, 29, 31, {8, 1, 24, 80}},
        {80, 20, 1, 33, {14, 1, 20, 80}},
        {30, 10, 30, 8, {1, 1, 10, 30}},     // cursor in the last column: cut on the right
        {30, 10, 32, 8, {1, 3, 10, 30}},     // beyond it: the columns end at it
        {30, 10, 80, 33, {24, 51, 10, 30}},
        {1, 1, 80, 33, {33, 80, 1, 1}},
        {0, 0, 5, 5, {1, 1, 0, 0}},          // no cells: nothing in view
    };
    for (const Case& c : cases) {
        ScreenBuffer screen = makeScreenBuffer(kScreenColumns, kScreenRows);
        moveCursor(screen, c.cursorRow, c.cursorColumn);
        const ScreenView view = screenViewFor(screen, c.terminalColumns, c.terminalRows);
        SCOPED_TRACE(testing::Message() << c.terminalColumns << " x " << c.terminalRows << ", cursor row "
                                        << c.cursorRow << " column " << c.cursorColumn);
        EXPECT_EQ(view.firstRow, c.view.firstRow);
        EXPECT_EQ(view.firstColumn, c.view.firstColumn);
        EXPECT_EQ(view.rows, c.view.rows);
        EXPECT_EQ(view.columns, c.view.columns);
    }
}

}  // namespace
}  // namespace vantorel::platform
