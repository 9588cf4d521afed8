// The console-tools calls hand the window decorations to the device, which
// decides what they mean where it runs.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/console_tools.h"
#include "platform/memory_console.h"

namespace vantorel::platform {
namespace {

// A device with a desktop window: records what it is asked to do to it.
class WindowedDevice final : public ConsoleDevice {
public:
    std::vector<int> icons;
    std::vector<int> deletedItems;
    std::vector<std::pair<int, int>> moves;
    std::string title;

    void present(const ScreenBuffer&) override {}
    KeyPress readKey(const ScreenBuffer&) override { return KeyPress{{}, true}; }
    void showMessageBox(const ScreenBuffer&, std::string_view, std::string_view) override {}
    void beep() override {}
    void setTitle(std::string_view newTitle) override { title = newTitle; }
    void requestSize(int, int) override {}
    void setIcon(int iconId) override { icons.push_back(iconId); }
    void deleteSystemMenuItem(int item) override { deletedItems.push_back(item); }
    void moveWindow(int x, int y) override { moves.emplace_back(x, y); }
};

TEST(ConsoleToolsForwarding, IconMenuItemsAndPositionReachTheDevice) {
    WindowedDevice device;
    Console console = makeConsole(device);
    EXPECT_EQ(ConsoleIcon(console, 32512), 0);
    for (const int item : {0xF120, 0, 0xF000, -2, -1, 0xF030}) EXPECT_EQ(DeleteWindowMenuItem(console, item), 0);
    EXPECT_EQ(ConsoleMove(console, 32767, 32767), 0);
    EXPECT_EQ(ConsoleTitle(console, "Vantorel"), 0);
    EXPECT_EQ(device.icons, std::vector<int>{32512});
    EXPECT_EQ(device.deletedItems, (std::vector<int>{0xF120, 0, 0xF000, -2, -1, 0xF030}));
    EXPECT_EQ(device.moves, (std::vector<std::pair<int, int>>{{32767, 32767}}));
    EXPECT_EQ(device.title, "Vantorel");
}

TEST(ConsoleToolsForwarding, ADeviceWithoutAWindowIgnoresThemAndTheScreenStays) {
    MemoryConsoleDevice device;
    Console console = makeConsole(device);
    writeText(console, "kept");
    const int presents = device.presents;
    ConsoleIcon(console, 32512);
    DeleteWindowMenuItem(console, 0xF030);
    ConsoleMove(console, 10, 20);
    EXPECT_EQ(rowText(console.screen, 1).substr(0, 4), "kept");
    EXPECT_EQ(device.presents, presents);
    EXPECT_TRUE(device.boxes.empty());
    EXPECT_EQ(device.beeps, 0);
}

}  // namespace
}  // namespace vantorel::platform
