// The test WAV writer, which every subsystem's tests build their inputs with,
// checked against hand-written bytes.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>

#include "wave_writer.h"

namespace vantorel::test_support {
namespace {

TEST(WaveWriter, WritesTheCanonicalHeader) {
    const std::vector<std::byte> expected = bytesOf({
        'R', 'I', 'F', 'F', 0x2C, 0x00, 0x00, 0x00,  // 36 + 8 data bytes
        'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
        0x10, 0x00, 0x00, 0x00,                      // format chunk of 16 bytes
        0x01, 0x00, 0x02, 0x00,                      // PCM, 2 channels
        0x44, 0xAC, 0x00, 0x00,                      // 44100 per second
        0x10, 0xB1, 0x02, 0x00,                      // 176400 bytes per second
        0x04, 0x00, 0x10, 0x00,                      // 4-byte frames of 16 bits
        'd', 'a', 't', 'a', 0x08, 0x00, 0x00, 0x00,  // 8 data bytes
        0x01, 0x00, 0xFF, 0xFF, 0x02, 0x00, 0xFE, 0xFF,
    });
    EXPECT_EQ(makeWaveBytes({WaveKind::Int16, 2, 44100}, {{1, 2}, {-1, -2}}), expected);
}

TEST(WaveWriter, EncodesEveryKindRoundingAndClamping) {
    std::vector<std::byte> bytes;
    appendSample(bytes, WaveKind::Int16, 40000);   // clamps to 32767
    appendSample(bytes, WaveKind::Int16, -2.5);    // ties to even: -2
    appendSample(bytes, WaveKind::Int24, -8388608);
    appendSample(bytes, WaveKind::Int24, 1e9);     // clamps to 8388607
    appendSample(bytes, WaveKind::Int32, -1);
    appendSample(bytes, WaveKind::Float32, -0.5);
    EXPECT_EQ(bytes, bytesOf({0xFF, 0x7F, 0xFE, 0xFF, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F,
                              0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xBF}));

    const auto floatHeader = makeWaveHeader({WaveKind::Float32, 1, 48000}, 12);
    EXPECT_EQ(getLe16(floatHeader, 20), 3);
    EXPECT_EQ(getLe16(floatHeader, 34), 32);
    EXPECT_EQ(getLe32(floatHeader, 28), 192000u);
}

TEST(WaveWriter, OverridesGrowTheBytesAndStreamedFilesMatch) {
    std::vector<std::byte> bytes = bytesOf({1, 2});
    setLe32(bytes, 4, 0xA1B2C3D4);
    EXPECT_EQ(bytes, bytesOf({1, 2, 0, 0, 0xD4, 0xC3, 0xB2, 0xA1}));

    // A streamed file longer than one write piece equals the one built in memory.
    const WaveLayout layout{WaveKind::Int24, 2, 8000};
    const SampleGenerator ramp = [](int channel, std::int64_t frame) { return (channel ? -1.0 : 1.0) * static_cast<double>(frame); };
    ScratchFolder folder;
    const std::string name = folder.file("streamed.wav");
    ASSERT_TRUE(writeWaveFile(name, layout, 300000, ramp));
    std::ifstream in(name, std::ios::binary);
    const std::vector<char> read((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::vector<std::byte> built = makeWaveBytes(layout, 300000, ramp);
    ASSERT_EQ(read.size(), built.size());
    EXPECT_TRUE(std::equal(read.begin(), read.end(), built.begin(),
                           [](char a, std::byte b) { return static_cast<std::byte>(a) == b; }));
}

}  // namespace
}  // namespace vantorel::test_support
