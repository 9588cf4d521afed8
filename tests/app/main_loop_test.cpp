// The whole dialogue on the in-memory console: start screen, refusals, a full
// Job on a generated file, and the Y/N question.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/main_loop.h"
#include "platform/memory_console.h"
#include "wave_writer.h"

namespace vantorel::app {
namespace {

using platform::cellAt;
using platform::MemoryConsoleDevice;
using platform::rowText;
using test_support::ScratchFolder;
using test_support::WaveKind;

constexpr std::string_view kFileNotFound = "           File not found.\\nPlease enter a valid filename  ";
constexpr std::string_view kAnswerYOrN = "You must respond either Y or N  ";

std::string padded(std::string_view text) {
    std::string row(text);
    row.resize(80, ' ');
    return row;
}

struct DialogueFixture : ::testing::Test {
    MemoryConsoleDevice device;
    platform::Console console = platform::makeConsole(device);
    ScratchFolder folder;
    // The scratch folder is the current folder while a test runs, so recordings
    // are typed by their bare names and the name stays on row 8 however long the
    // system's temporary folder is (on Windows it alone can fill the row).
    std::filesystem::path previousFolder = std::filesystem::current_path();

    DialogueFixture() { std::filesystem::current_path(folder.path()); }
    ~DialogueFixture() override { std::filesystem::current_path(previousFolder); }

    // A stereo 16-bit file of one second at 44.1 kHz, a sine at half scale;
    // returns the name to type.
    std::string writeShortRecording(const std::string& name) {
        test_support::writeWaveFile(folder.file(name), {WaveKind::Int16, 2, 44100}, 44100,
                                    [](int, std::int64_t frame) { return frame % 2 == 0 ? 16384.0 : -16384.0; });
        return name;
    }
};

TEST_F(DialogueFixture, StartScreenShowsBannerAndPromptAndEchoesTheNameInStrong) {
    device.type("abc");
    EXPECT_EQ(WINMAIN(console, nullptr), 1);  // the script ends: input closed
    EXPECT_EQ(device.title, "Vantorel");
    EXPECT_EQ(device.requestedColumns, 80);
    EXPECT_EQ(device.requestedRows, 33);
    EXPECT_EQ(rowText(console.screen, 1), padded(""));
    EXPECT_EQ(rowText(console.screen, 2), padded("   Vantorel"));
    EXPECT_EQ(rowText(console.screen, 3).substr(0, 4), "   P");
    EXPECT_EQ(rowText(console.screen, 4).substr(0, 4), "   R");
    EXPECT_EQ(rowText(console.screen, 8), padded("   Wave file to analyse?    abc"));
    EXPECT_EQ(cellAt(console.screen, 2, 4).attribute, platform::kAttributeStrong);
    EXPECT_EQ(cellAt(console.screen, 8, 4).attribute, platform::kAttributeDim);
    EXPECT_EQ(cellAt(console.screen, 8, 29).attribute, platform::kAttributeStrong);
    EXPECT_TRUE(device.boxes.empty());
}

TEST_F(DialogueFixture, NamesThatCannotBeOpenedGiveTheFileNotFoundBoxAndAFreshStart) {
    const std::string missing = folder.file("missing.wav");
    std::filesystem::create_directory(folder.path() / "folder.wav");
    device.type("\r");  // empty name
    device.type(missing + "\r");
    device.type(folder.file("folder.wav") + "\r");
    EXPECT_EQ(WINMAIN(console, nullptr), 1);
    ASSERT_EQ(device.boxes.size(), 3u);
    for (const auto& box : device.boxes) {
        EXPECT_EQ(box.message, kFileNotFound);
        EXPECT_EQ(box.caption, "  ERROR");
    }
    EXPECT_EQ(device.boxes[2].beepsBefore, 3);
    // After the last box the start screen is drawn again with an empty prompt.
    EXPECT_EQ(rowText(console.screen, 8), padded("   Wave file to analyse?"));
    EXPECT_EQ(rowText(console.screen, 9), padded(""));
}

TEST_F(DialogueFixture, AWholeJobFillsTheUsualRowsAndNEndsTheProgram) {
    const std::string path = writeShortRecording("take 1.wav");
    device.type(path + "\rN\r");
    EXPECT_EQ(WINMAIN(console, nullptr), 0);
    EXPECT_TRUE(device.boxes.empty());
    EXPECT_EQ(rowText(console.screen, 11), padded("                            FILE DATA"));
    EXPECT_EQ(rowText(console.screen, 21), padded("   Reading input file..."));
    EXPECT_EQ(rowText(console.screen, 22), padded("   Done"));
    EXPECT_EQ(rowText(console.screen, 24), padded("   Analysing over 10 time slices..."));
    EXPECT_EQ(rowText(console.screen, 25), padded("   Done"));
    const std::string finished = rowText(console.screen, 29);
    EXPECT_EQ(finished.substr(0, 19), "   Job finished in ");
    EXPECT_NE(finished.find(" sec"), std::string::npos);
    EXPECT_EQ(rowText(console.screen, 31), padded("   Analyse another [Y/N]?   N"));
    EXPECT_EQ(cellAt(console.screen, 22, 4).attribute, platform::kAttributeStrong);
    EXPECT_EQ(cellAt(console.screen, 24, 4).attribute, platform::kAttributeDim);
    EXPECT_EQ(cellAt(console.screen, 29, 4).attribute, platform::kAttributeDim);
    EXPECT_EQ(console.screen.cursorRow, 32);
    EXPECT_FALSE(console.screen.cursorVisible);  // hidden once a header was accepted
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "take 1 VT.txt"));
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "take 1 VT.emf"));
}

TEST_F(DialogueFixture, YesInEitherCaseStartsAFreshJobAndLowerCaseNEnds) {
    const std::string path = writeShortRecording("a.wav");
    device.type(path + "\ry\r" + path + "\rY\r");
    device.type("\r");  // an empty name on the third start screen
    EXPECT_EQ(WINMAIN(console, nullptr), 1);
    ASSERT_EQ(device.boxes.size(), 1u);
    EXPECT_EQ(device.boxes[0].message, kFileNotFound);

    MemoryConsoleDevice secondDevice;
    platform::Console second = platform::makeConsole(secondDevice);
    secondDevice.type(path + "\rn\r");
    EXPECT_EQ(WINMAIN(second, nullptr), 0);
}

TEST_F(DialogueFixture, RefusedAnswersAreBlankedCellForCellAndAskedAgainOnTheSameRow) {
    const std::string path = writeShortRecording("b.wav");
    const std::string longAnswer(60, 'x');  // wraps from row 31 onto row 32
    device.type(path + "\r");
    device.type("yes\r");
    device.type(" y\r");
    device.type("Y \r");
    device.type("\r");
    device.type(longAnswer + "\r");
    device.type("\xc3");  // é as a terminal in a single-byte locale sends it:
    device.type("\xa9\r");  // one character of text, two keys, two cells
    device.type("N\r");
    EXPECT_EQ(WINMAIN(console, nullptr), 0);
    ASSERT_EQ(device.boxes.size(), 6u);
    for (const auto& box : device.boxes) EXPECT_EQ(box.message, kAnswerYOrN);

    // Each box is shown over the refused answer; the next one shows that the
    // previous answer was blanked and the question asked again on row 31.
    EXPECT_EQ(rowText(device.boxes[0].screen, 31), padded("   Analyse another [Y/N]?   yes"));
    EXPECT_EQ(rowText(device.boxes[1].screen, 31), padded("   Analyse another [Y/N]?    y"));
    EXPECT_EQ(rowText(device.boxes[2].screen, 31), padded("   Analyse another [Y/N]?   Y "));
    EXPECT_EQ(rowText(device.boxes[3].screen, 31), padded("   Analyse another [Y/N]?"));
    EXPECT_EQ(rowText(device.boxes[4].screen, 31), "   Analyse another [Y/N]?   " + longAnswer.substr(0, 52));
    EXPECT_EQ(rowText(device.boxes[4].screen, 32), padded(longAnswer.substr(52)));
    EXPECT_EQ(rowText(device.boxes[5].screen, 31), padded("   Analyse another [Y/N]?   \xc3\xa9"));
    EXPECT_EQ(rowText(console.screen, 31), padded("   Analyse another [Y/N]?   N"));
    EXPECT_EQ(rowText(console.screen, 32), padded(""));
    // The rest of the screen stays as it was.
    EXPECT_EQ(rowText(console.screen, 24), padded("   Analysing over 10 time slices..."));
}

}  // namespace
}  // namespace vantorel::app
