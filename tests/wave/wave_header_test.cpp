// Header parsing, validation and the FILE DATA panel, checked against
// hand-built header bytes and worked examples.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "app/job_screen.h"
#include "platform/memory_console.h"
#include "wave/wave_info.h"
#include "wave_writer.h"

namespace vantorel::wave {
namespace {

using app::printFileDataPanel;
using app::readWaveHeader;
using test_support::makeWaveHeader;
using test_support::ScratchFolder;
using test_support::setBytes;
using test_support::setLe16;
using test_support::setLe32;
using test_support::bytesOf;
using test_support::WaveKind;
using test_support::WaveLayout;

std::vector<std::byte> header(WaveKind kind, int channels, std::int32_t rate, std::uint32_t dataBytes) {
    return makeWaveHeader({kind, channels, rate}, dataBytes);
}

WaveInfo accepted(const std::vector<std::byte>& bytes) {
    const auto parsed = parseWaveHeader(bytes);
    EXPECT_TRUE(std::holds_alternative<WaveInfo>(parsed));
    return std::holds_alternative<WaveInfo>(parsed) ? std::get<WaveInfo>(parsed) : WaveInfo{};
}

std::optional<HeaderRejection> rejection(const std::vector<std::byte>& bytes) {
    const auto parsed = parseWaveHeader(bytes);
    if (const auto* reason = std::get_if<HeaderRejection>(&parsed)) return *reason;
    return std::nullopt;
}

// The header as read from a file of `fileSize` bytes that begins with `bytes`
// and holds zeros after them, without making the file.
std::variant<WaveInfo, HeaderRejection> parsedAsFileOf(const std::vector<std::byte>& bytes, std::uint64_t fileSize) {
    const FileByteReader read = [&bytes](std::uint64_t offset, std::span<std::byte> into) -> std::size_t {
        std::fill(into.begin(), into.end(), std::byte{0});
        if (offset < bytes.size())
            std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                        std::min<std::uint64_t>(into.size(), bytes.size() - offset), into.begin());
        return into.size();
    };
    return parseWaveHeader(read, fileSize);
}

// A canonical header read as the start of a file that holds all the data it claims.
std::variant<WaveInfo, HeaderRejection> parsedWithData(const std::vector<std::byte>& bytes) {
    const std::uint64_t claimed = bytes.size() >= kSampleDataOffset ? test_support::getLe32(bytes, 40) : 0;
    return parsedAsFileOf(bytes, std::max<std::uint64_t>(bytes.size(), kSampleDataOffset + claimed));
}

WaveInfo acceptedWithData(const std::vector<std::byte>& bytes) {
    const auto parsed = parsedWithData(bytes);
    EXPECT_TRUE(std::holds_alternative<WaveInfo>(parsed));
    return std::holds_alternative<WaveInfo>(parsed) ? std::get<WaveInfo>(parsed) : WaveInfo{};
}

std::optional<HeaderRejection> rejectionWithData(const std::vector<std::byte>& bytes) {
    const auto parsed = parsedWithData(bytes);
    if (const auto* reason = std::get_if<HeaderRejection>(&parsed)) return *reason;
    return std::nullopt;
}

// The header followed by the zero data it claims, for files on disk.
std::vector<std::byte> withData(std::vector<std::byte> bytes) {
    bytes.resize(kSampleDataOffset + test_support::getLe32(bytes, 40));
    return bytes;
}

std::vector<std::byte> cutAt(std::vector<std::byte> bytes, std::size_t length) {
    bytes.resize(length);
    return bytes;
}

TEST(WaveHeaderParsing, ReadsTheFieldsOfAHandBuiltHeader) {
    // A stereo 24-bit float-tagged header with unusual values in every field,
    // written out byte by byte.
    const std::vector<std::byte> bytes = test_support::bytesOf({
        'R', 'F', '6', '4', 0xAA, 0xBB, 0xCC, 0xDD,  // any RIFF tag and size
        'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
        0x12, 0x00, 0x00, 0x00,                      // format chunk size 18 (not checked)
        0x03, 0x00,                                  // format tag 3
        0x02, 0x01,                                  // channels 258: only the low byte counts
        0x80, 0xBB, 0x00, 0x00,                      // 48000 samples per second
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00,          // bytes per second, alignment: not checked
        0x18, 0x00,                                  // 24 bits
        'j', 'u', 'n', 'k',                          // data tag: never compared
        0x40, 0x1F, 0x00, 0x00,                      // 8000 data bytes
    });
    const WaveInfo info = acceptedWithData(bytes);
    EXPECT_EQ(info.formatTag, 3);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.sampleRate, 48000);
    EXPECT_EQ(info.bitsPerSample, 24);
    EXPECT_EQ(info.dataBytes, 8000u);
    EXPECT_EQ(info.sampleCount, 8000 * 8 / 48);  // 1333.33 rounds to 1333
    EXPECT_EQ(info.resolutionText, " bits");
}

TEST(WaveHeaderParsing, ChecksWaveThenEightBitsThenTheFormatTag) {
    auto notWave = header(WaveKind::Int16, 2, 44100, 0);
    setBytes(notWave, 8, "wave");  // case matters
    setLe16(notWave, 34, 8);
    setLe16(notWave, 20, 0xFFFE);
    EXPECT_EQ(rejection(notWave), HeaderRejection::NotWave);

    auto eightBitExtensible = header(WaveKind::Int16, 2, 44100, 0);
    setLe16(eightBitExtensible, 34, 8);
    setLe16(eightBitExtensible, 20, 0xFFFE);
    EXPECT_EQ(rejection(eightBitExtensible), HeaderRejection::EightBit);

    auto extensible = header(WaveKind::Int16, 2, 44100, 400);
    setLe16(extensible, 20, 0xFFFE);
    const auto parsed = parseWaveHeader(extensible);
    EXPECT_EQ(std::get<HeaderRejection>(parsed), HeaderRejection::NotPcmOrFloat);

    auto tagTwo = header(WaveKind::Int16, 1, 44100, 400);
    setLe16(tagTwo, 20, 2);
    EXPECT_EQ(rejection(tagTwo), HeaderRejection::NotPcmOrFloat);

    // Then the layout: the bits before the channel count.
    auto twentyBitsTagTwo = header(WaveKind::Int16, 6, 44100, 400);
    setLe16(twentyBitsTagTwo, 34, 20);
    setLe16(twentyBitsTagTwo, 20, 2);
    EXPECT_EQ(rejection(twentyBitsTagTwo), HeaderRejection::NotPcmOrFloat);
    auto twentyBitsSixChannels = header(WaveKind::Int16, 6, 44100, 400);
    setLe16(twentyBitsSixChannels, 34, 20);
    EXPECT_EQ(rejection(twentyBitsSixChannels), HeaderRejection::UnreadableBits);

    // Nothing else is checked: any RIFF tag, rate 0.
    auto odd = header(WaveKind::Int16, 2, 0, 400);
    setBytes(odd, 0, "RIFX");
    EXPECT_EQ(rejectionWithData(odd), std::nullopt);
}

TEST(WaveHeaderParsing, OnlyLayoutsTheLoaderReadsPass) {
    struct Row {
        int channels;
        std::optional<std::uint16_t> bits;  // none: the kind's own
        std::optional<HeaderRejection> rejected;
    };
    const Row rows[] = {
        {1, {}, {}},
        {2, {}, {}},
        {258, {}, {}},  // bytes 2 and 1: only the low byte counts
        {0, {}, HeaderRejection::UnreadableChannels},
        {256, {}, HeaderRejection::UnreadableChannels},  // low byte 0
        {3, {}, {}},
        {6, {}, {}},
        {8, {}, {}},
        {9, {}, HeaderRejection::UnreadableChannels},
        {260, {}, HeaderRejection::UnreadableChannels},  // bytes 4 and 1: no count of 4
        {2, 20, HeaderRejection::UnreadableBits},
        {1, 12, HeaderRejection::UnreadableBits},
        {2, 0xFFF0, HeaderRejection::UnreadableBits},  // -16
        {0, 0, HeaderRejection::UnreadableBits},       // no channels and no bits: the bits first
        {2, 64, HeaderRejection::UnreadableBits},
    };
    for (const WaveKind kind : {WaveKind::Int16, WaveKind::Int24, WaveKind::Float32}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::to_string(row.channels) + " channels, bits " + std::to_string(row.bits.value_or(0)));
            auto bytes = header(kind, row.channels, 44100, 4000);
            if (row.bits) setLe16(bytes, 34, *row.bits);
            EXPECT_EQ(rejectionWithData(bytes), row.rejected);
        }
    }
    EXPECT_EQ(acceptedWithData(header(WaveKind::Int24, 258, 44100, 4000)).channels, 2);
    // Six channels whose frames the block alignment gives as of two.
    auto misaligned = header(WaveKind::Int16, 6, 44100, 4000);
    setLe16(misaligned, 32, 4);
    EXPECT_EQ(rejection(misaligned), HeaderRejection::UnreadableChannels);
}

// Real-world layouts: what the reader finds in each, as the fields it gives or
// the rejection. Sample data are 400 bytes of 0x11 unless the row says otherwise.
struct ChunkLayoutRow {
    const char* name;
    std::vector<std::byte> file;
    std::optional<HeaderRejection> rejected;
    std::int16_t formatTag = 0;
    std::int16_t bits = 0;
    std::uint64_t dataBytes = 0;
    std::uint64_t dataOffset = 0;
};

TEST(WaveHeaderParsing, FindsTheFormatAndDataChunksOfRealLayouts) {
    using test_support::makeChunk;
    using test_support::makeFormatPayload;
    using test_support::makeRiff;
    const WaveLayout stereo16{WaveKind::Int16, 2, 48000};
    const std::vector<std::byte> samples(400, std::byte{0x11});
    const auto fmt = [](const WaveLayout& layout, std::size_t size, int sub = 0) {
        return makeChunk("fmt ", makeFormatPayload(layout, size, sub));
    };
    const auto data = [&](std::optional<std::uint32_t> claim = std::nullopt) {
        return makeChunk("data", samples, claim);
    };
    const auto pad = [](const char* tag, std::size_t size) {
        return makeChunk(tag, std::vector<std::byte>(size, std::byte{0x7F}));
    };
    const auto ds64 = [](std::uint64_t dataSize) {
        // RIFF size, data size, sample count (8 bytes each), table length.
        auto payload = bytesOf({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0});
        for (int shift = 0; shift < 64; shift += 8) payload.push_back(static_cast<std::byte>(dataSize >> shift & 0xFF));
        payload.resize(28, std::byte{0});
        return makeChunk("ds64", payload);
    };
    std::vector<std::byte> rf64 = makeRiff("RF64", {ds64(400), fmt(stereo16, 16), data(0xFFFFFFFF)});
    setLe32(rf64, 4, 0xFFFFFFFF);
    // A ds64 that states more than the file holds: one frame, or 5 GB, more.
    std::vector<std::byte> rf64Cut = makeRiff("RF64", {ds64(404), fmt(stereo16, 16), data(0xFFFFFFFF)});
    std::vector<std::byte> rf64Claim = makeRiff("RF64", {ds64(5'000'000'000ULL), fmt(stereo16, 16), data(0xFFFFFFFF)});
    // The ds64 sample count (offset 36) happens to read "data".
    std::vector<std::byte> rf64CountData = rf64;
    setBytes(rf64CountData, 36, "data");
    // Written to a pipe: ds64 never filled in, or no ds64 at all.
    std::vector<std::byte> rf64Piped = makeRiff("RF64", {ds64(0), fmt(stereo16, 16), data(0xFFFFFFFF)});
    setLe32(rf64Piped, 32, 0);  // the top half of the data size too
    // A bext description with "data" at offset 36.
    std::vector<std::byte> description(602, std::byte{0});
    setBytes(description, 0, "Field recording data set 3");
    // An odd chunk whose pad byte the writer left out, or two bytes too short.
    const auto unpadded = [](std::size_t cut) {
        auto chunk = makeChunk("odd ", bytesOf({'a', 'b', 'c'}));
        chunk.resize(chunk.size() - cut);
        return chunk;
    };
    const auto junk = [](std::size_t count) {
        std::vector<std::byte> chunks;
        for (std::size_t i = 0; i < count; ++i) chunks.insert(chunks.end(), {std::byte{'J'}, std::byte{'U'},
            std::byte{'N'}, std::byte{'K'}, std::byte{0}, std::byte{0}, std::byte{0}, std::byte{0}});
        return chunks;
    };
    // Data whose size has a printable low byte after a 7-byte LIST without its
    // pad byte: one byte on, "ata" and that byte, then a size from the rest of
    // it and the first (silent) sample, look like a chunk header too.
    const auto unpaddedBeforeData = [&](std::uint32_t dataSize) {
        auto list = makeChunk("LIST", bytesOf({'I', 'N', 'F', 'O', 'a', 'b', 'c'}));
        list.pop_back();
        return makeRiff("RIFF", {fmt(stereo16, 16), list, makeChunk("data", std::vector<std::byte>(dataSize))});
    };
    const std::vector<std::byte> canonical = makeRiff("RIFF", {fmt(stereo16, 16), data()});
    const std::vector<std::byte> listFirst = makeRiff("RIFF", {fmt(stereo16, 16), pad("LIST", 26), data()});
    const std::vector<std::byte> format18 = makeRiff("RIFF", {fmt(stereo16, 18), data()});
    const auto bits = [](const WaveLayout& layout, std::size_t size, int sub, std::uint16_t bitsPerSample) {
        auto payload = makeFormatPayload(layout, size, sub);
        setLe16(payload, 14, bitsPerSample);
        return makeChunk("fmt ", payload);
    };

    const std::vector<ChunkLayoutRow> rows = {
        {"canonical", makeRiff("RIFF", {fmt(stereo16, 16), data()}), {}, 1, 16, 400, 44},
        {"18-byte format and fact", makeRiff("RIFF", {fmt({WaveKind::Float32, 1, 44100}, 18), pad("fact", 4), data()}),
         {}, 3, 32, 400, 12 + 26 + 12 + 8},
        {"extensible PCM 16", makeRiff("RIFF", {fmt(stereo16, 40, 1), data()}), {}, 1, 16, 400, 68},
        {"extensible PCM 24", makeRiff("RIFF", {fmt({WaveKind::Int24, 2, 48000}, 40, 1), data()}), {}, 1, 24, 400, 68},
        {"extensible PCM 32", makeRiff("RIFF", {fmt({WaveKind::Int32, 1, 96000}, 40, 1), data()}), {}, 1, 32, 400, 68},
        {"extensible float", makeRiff("RIFF", {fmt({WaveKind::Float32, 2, 48000}, 40, 3), data()}), {}, 3, 32, 400, 68},
        {"extensible mu-law", makeRiff("RIFF", {fmt(stereo16, 40, 7), data()}), HeaderRejection::NotPcmOrFloat},
        {"extensible tag in 18 bytes", makeRiff("RIFF", {makeChunk("fmt ", [&] {
             auto payload = makeFormatPayload(stereo16, 18);
             setLe16(payload, 0, 0xFFFE);
             return payload;
         }()), data()}), HeaderRejection::NotPcmOrFloat},
        {"extensible 9 channels", makeRiff("RIFF", {fmt({WaveKind::Int16, 9, 48000}, 40, 1), data()}),
         HeaderRejection::UnreadableChannels},
        {"extensible 20 bits", makeRiff("RIFF", {bits({WaveKind::Int24, 2, 48000}, 40, 1, 20), data()}),
         HeaderRejection::UnreadableBits},
        {"20 bits", makeRiff("RIFF", {bits(stereo16, 16, 0, 20), data()}), HeaderRejection::UnreadableBits},
        {"LIST before data", makeRiff("RIFF", {fmt(stereo16, 16), pad("LIST", 26), data()}), {}, 1, 16, 400, 78},
        {"bext and JUNK before format", makeRiff("RIFF", {pad("bext", 602), pad("JUNK", 28), fmt(stereo16, 16), data()}),
         {}, 1, 16, 400, 12 + 610 + 36 + 24 + 8},
        {"bext description with data at 36", makeRiff("RIFF", {makeChunk("bext", description), fmt(stereo16, 16), data()}),
         {}, 1, 16, 400, 12 + 610 + 24 + 8},
        {"100,000 empty JUNK chunks", makeRiff("RIFF", {junk(100'000), fmt(stereo16, 16), data()}),
         {}, 1, 16, 400, 12 + 800'000 + 24 + 8},
        {"5,000 empty JUNK chunks after the format", makeRiff("RIFF", {fmt(stereo16, 16), junk(5'000), data()}),
         {}, 1, 16, 400, 12 + 24 + 40'000 + 8},
        {"odd chunk and its pad byte", makeRiff("RIFF", {fmt(stereo16, 16), pad("odd ", 3), data()}), {}, 1, 16, 400, 56},
        {"odd chunk without its pad byte", makeRiff("RIFF", {fmt(stereo16, 16), unpadded(1), data()}),
         {}, 1, 16, 400, 55},
        {"odd first chunk without its pad byte", makeRiff("RIFF", {unpadded(1), fmt(stereo16, 16), data()}),
         {}, 1, 16, 400, 55},
        {"odd chunk two bytes short", makeRiff("RIFF", {unpadded(2), fmt(stereo16, 16), data()}),
         HeaderRejection::DamagedChunks},
        // The data's tag where the pad byte is missing wins over a guess one byte on.
        {"unpadded LIST, then 529,200 bytes ('0')", unpaddedBeforeData(529'200), {}, 1, 16, 529'200, 59},
        {"unpadded LIST, then 4,222 bytes ('~')", unpaddedBeforeData(4'222), {}, 1, 16, 4'222, 59},
        {"unpadded LIST, then 8,257 bytes ('A')", unpaddedBeforeData(8'257), {}, 1, 16, 8'257, 59},
        {"unpadded LIST, then 12,320 bytes (' ')", unpaddedBeforeData(12'320), {}, 1, 16, 12'320, 59},
        {"unpadded LIST, then 4,196 bytes ('d')", unpaddedBeforeData(4'196), {}, 1, 16, 4'196, 59},
        {"short format chunk skipped", makeRiff("RIFF", {pad("fmt ", 14), fmt(stereo16, 16), data()}),
         {}, 1, 16, 400, 12 + 22 + 24 + 8},
        {"14-byte format chunk only", makeRiff("RIFF", {makeChunk("fmt ", makeFormatPayload(stereo16, 14)), data()}),
         HeaderRejection::DamagedChunks},
        {"size 0 with data after", makeRiff("RIFF", {fmt(stereo16, 16), pad("LIST", 4), data(0)}), {}, 1, 16, 400, 56},
        {"size 0xFFFFFFFF", makeRiff("RIFF", {fmt(stereo16, 16), pad("LIST", 4), data(0xFFFFFFFF)}),
         {}, 1, 16, 400, 56},
        {"canonical size 0xFFFFFFFF", makeRiff("RIFF", {fmt(stereo16, 16), data(0xFFFFFFFF)}), {}, 1, 16, 400, 44},
        {"canonical size 0, data after", makeRiff("RIFF", {fmt(stereo16, 16), data(0)}), {}, 1, 16, 400, 44},
        {"canonical size 0, then a LIST", makeRiff("RIFF", {fmt(stereo16, 16), makeChunk("data", {}), pad("LIST", 26)}),
         {}, 1, 16, 0, 44},
        {"RF64 with ds64", rf64, {}, 1, 16, 400, 12 + 36 + 24 + 8},
        {"RF64 with data at 36 in ds64", rf64CountData, {}, 1, 16, 400, 12 + 36 + 24 + 8},
        // Cut files: fewer whole frames than the data size states, or no data chunk header.
        {"claim beyond the end", makeRiff("RIFF", {fmt(stereo16, 18), data(1000000)}), HeaderRejection::Cut},
        {"cut inside the data", cutAt(canonical, 44 + 200), HeaderRejection::Cut},
        {"cut one byte into the last frame", cutAt(canonical, 44 + 397), HeaderRejection::Cut},
        {"last frame cut short", makeRiff("RIFF", {fmt(stereo16, 16), data(403)}), {}, 1, 16, 403, 44},
        {"last frame cut short after a LIST", makeRiff("RIFF", {fmt(stereo16, 16), pad("LIST", 26), data(401)}),
         {}, 1, 16, 401, 78},
        {"cut at 44 bytes", cutAt(canonical, 44), HeaderRejection::Cut},
        {"cut at 40 bytes", cutAt(canonical, 40), HeaderRejection::Cut},
        {"cut at 36 bytes", cutAt(canonical, 36), HeaderRejection::Cut},
        {"18-byte format, cut inside the data chunk header", cutAt(format18, 42), HeaderRejection::Cut},
        {"cut inside a LIST before the data", cutAt(listFirst, 60), HeaderRejection::Cut},
        {"cut one byte before a LIST's end", cutAt(listFirst, 69), HeaderRejection::Cut},
        {"cut inside the data chunk header after a LIST", cutAt(listFirst, 74), HeaderRejection::Cut},
        {"RF64 whose ds64 states a frame more", rf64Cut, HeaderRejection::Cut},
        {"RF64 whose ds64 states 5 GB", rf64Claim, HeaderRejection::Cut},
        {"8 bits and cut: the layout first", cutAt(makeRiff("RIFF", {bits(stereo16, 16, 0, 8), data()}), 100),
         HeaderRejection::EightBit},
        {"20 bits and cut: the layout first", cutAt(makeRiff("RIFF", {bits(stereo16, 16, 0, 20), data()}), 40),
         HeaderRejection::UnreadableBits},
        {"RF64 from a pipe", rf64Piped, {}, 1, 16, 400, 12 + 36 + 24 + 8},
        {"RF64 from a pipe, no ds64", makeRiff("RF64", {fmt(stereo16, 16), data(0xFFFFFFFF)}), {}, 1, 16, 400, 44},
        // Damaged chunks: refused, unless laid out like the canonical header,
        // which is read at the fixed offsets whatever its tags.
        {"size past the end", makeRiff("RIFF", {makeChunk("JUNK", samples, 0xFFFFFF00), fmt(stereo16, 16), data()}),
         HeaderRejection::DamagedChunks},
        {"data before format", makeRiff("RIFF", {data(), fmt(stereo16, 16)}), HeaderRejection::DamagedChunks},
        {"canonical, format tagged otherwise", makeRiff("RIFF", {makeChunk("abcd", makeFormatPayload(stereo16, 16)),
                                                                data()}), {}, 1, 16, 400, 44},
        {"canonical, data tagged otherwise", makeRiff("RIFF", {fmt(stereo16, 16), makeChunk("junk", samples)}),
         {}, 1, 16, 400, 44},
        {"RIFX, format and data tagged otherwise", [&] {
             auto file = makeRiff("RIFX", {makeChunk("abcd", makeFormatPayload(stereo16, 16)), makeChunk("junk", samples)});
             return file;
         }(), {}, 1, 16, 400, 44},
        {"canonical, data tagged otherwise and cut", makeRiff("RIFF", {fmt(stereo16, 16),
                                                                     makeChunk("junk", samples, 1000000)}),
         HeaderRejection::Cut},
        {"no data chunk", makeRiff("RIFF", {fmt(stereo16, 16), makeChunk("LIST", bytesOf({1, 2, 3, 4}))}),
         {}, 1, 16, 4, 44},
    };
    for (const ChunkLayoutRow& row : rows) {
        SCOPED_TRACE(row.name);
        const auto parsed = parseWaveHeader(row.file);
        if (row.rejected) {
            EXPECT_EQ(rejection(row.file), row.rejected);
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<WaveInfo>(parsed));
        const WaveInfo& info = std::get<WaveInfo>(parsed);
        EXPECT_EQ(info.formatTag, row.formatTag);
        EXPECT_EQ(info.bitsPerSample, row.bits);
        EXPECT_EQ(info.dataBytes, row.dataBytes);
        EXPECT_EQ(info.dataOffset, row.dataOffset);
    }
}

TEST(WaveHeaderParsing, WalksAHundredThousandChunksInAFewReads) {
    std::vector<std::byte> junk;
    for (int i = 0; i < 100'000; ++i) {
        const auto chunk = test_support::makeChunk("JUNK", {});
        junk.insert(junk.end(), chunk.begin(), chunk.end());
    }
    const auto bytes = test_support::makeRiff(
        "RIFF", {junk, test_support::makeChunk("fmt ", test_support::makeFormatPayload({WaveKind::Int16, 1, 8000}, 16)),
                 test_support::makeChunk("data", bytesOf({1, 0}))});
    int reads = 0;
    const FileByteReader read = [&](std::uint64_t offset, std::span<std::byte> into) -> std::size_t {
        ++reads;
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), bytes.size() - offset));
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), count, into.begin());
        return count;
    };
    const auto parsed = parseWaveHeader(read, bytes.size());
    ASSERT_TRUE(std::holds_alternative<WaveInfo>(parsed));
    EXPECT_EQ(std::get<WaveInfo>(parsed).dataOffset, 12u + 800'000 + 24 + 8);
    EXPECT_EQ(std::get<WaveInfo>(parsed).sampleCount, 1);
    EXPECT_LT(reads, 400);  // not one read per chunk header
}

TEST(WaveHeaderParsing, FilesThatEndInsideTheHeaderAreCut) {
    EXPECT_EQ(rejection({}), HeaderRejection::NotWave);
    const auto full = withData(header(WaveKind::Int16, 2, 44100, 400));
    EXPECT_EQ(rejection(cutAt(full, 11)), HeaderRejection::NotWave);
    // From 12 bytes the WAVE test passes. Before the format fields are whole
    // their missing bytes would give the layout: the cut is what is wrong.
    for (const std::size_t length : {12u, 20u, 30u, 35u, 36u, 40u, 43u}) {
        SCOPED_TRACE(length);
        EXPECT_EQ(rejection(cutAt(full, length)), HeaderRejection::Cut);
    }
    auto eightBit = full;
    setLe16(eightBit, 34, 8);
    EXPECT_EQ(rejection(cutAt(eightBit, 43)), HeaderRejection::EightBit);
    EXPECT_EQ(rejection(cutAt(eightBit, 34)), HeaderRejection::Cut);
}

TEST(WaveHeaderParsing, SizesLeftUnknownRunToTheEndOfAnyFile) {
    // Nothing to compare a size of 0xFFFFFFFF, or a never-closed 0, with.
    for (const std::uint32_t size : {0xFFFFFFFFu, 0u}) {
        for (const std::size_t frames : {0u, 1u, 1000u}) {
            SCOPED_TRACE(std::to_string(size) + ", " + std::to_string(frames) + " frames");
            auto file = header(WaveKind::Int24, 2, 48000, size);
            file.resize(file.size() + 6 * frames + 1, std::byte{0x7F});
            EXPECT_EQ(accepted(file).sampleCount, static_cast<std::int64_t>(frames));
        }
    }
}

TEST(WaveHeaderParsing, SampleCountRoundsTheQuotientTiesToEven) {
    EXPECT_EQ(acceptedWithData(header(WaveKind::Int16, 2, 44100, 1002)).sampleCount, 250);  // 250.5
    EXPECT_EQ(acceptedWithData(header(WaveKind::Int16, 2, 44100, 1003)).sampleCount, 251);  // 250.75
    EXPECT_EQ(acceptedWithData(header(WaveKind::Int16, 2, 44100, 1006)).sampleCount, 252);  // 251.5
    EXPECT_EQ(acceptedWithData(header(WaveKind::Int16, 2, 44100, 10584000)).sampleCount, 2646000);

    const WaveInfo mono24 = acceptedWithData(header(WaveKind::Int24, 1, 48000, 4320000));
    EXPECT_EQ(mono24.sampleCount, 1440000);
    EXPECT_EQ(mono24.durationSeconds, 30.0);
}

TEST(WaveHeaderParsing, DataSizesFromTwoGibibytesUpGivePositiveCounts) {
    EXPECT_EQ(acceptedWithData(header(WaveKind::Int16, 2, 44100, 0x80000000u)).sampleCount, 536870912);
    // 4,294,967,294 / 4 = 1,073,741,823.5, a tie, goes to the even 2^30
    EXPECT_EQ(acceptedWithData(header(WaveKind::Int16, 2, 44100, 0xFFFFFFFEu)).sampleCount, 1073741824);
    // 4,294,967,293 / 2 = 2,147,483,646.5, a tie, goes to the even 2,147,483,646
    EXPECT_EQ(acceptedWithData(header(WaveKind::Int16, 1, 44100, 0xFFFFFFFDu)).sampleCount, 2147483646);
}

TEST(WaveHeaderParsing, Ds64SizesBeyondFourGibibytesAreReadAndChecked) {
    using test_support::makeChunk;
    const auto ds64 = bytesOf({0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 0x00, 0xF2, 0x05, 0x2A, 1, 0, 0, 0,
                               0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // data: 0x12A05F200 = 5,000,000,000
    const auto file = test_support::makeRiff(
        "RF64", {makeChunk("ds64", ds64),
                 makeChunk("fmt ", test_support::makeFormatPayload({WaveKind::Int16, 2, 48000}, 16)),
                 makeChunk("data", {}, 0xFFFFFFFF)});
    const std::uint64_t whole = file.size() + 5'000'000'000ULL;
    const auto parsed = parsedAsFileOf(file, whole);
    ASSERT_TRUE(std::holds_alternative<WaveInfo>(parsed));
    EXPECT_EQ(std::get<WaveInfo>(parsed).dataBytes, 5'000'000'000ULL);
    EXPECT_EQ(std::get<WaveInfo>(parsed).sampleCount, 1'250'000'000);
    const auto cut = parsedAsFileOf(file, whole - 1);
    ASSERT_TRUE(std::holds_alternative<HeaderRejection>(cut));
    EXPECT_EQ(std::get<HeaderRejection>(cut), HeaderRejection::Cut);
}

TEST(WaveHeaderParsing, RateZeroGivesAnInfiniteOrUndefinedDuration) {
    EXPECT_EQ(acceptedWithData(header(WaveKind::Int16, 2, 0, 4000)).durationSeconds, INFINITY);
    EXPECT_TRUE(std::isnan(acceptedWithData(header(WaveKind::Int16, 2, 0, 0)).durationSeconds));
    // Negative rates are used as they are.
    EXPECT_EQ(acceptedWithData(header(WaveKind::Int16, 1, -8, 16)).durationSeconds, -1.0);
}

TEST(WaveHeaderParsing, ResolutionTextDependsOnBitsAndTag) {
    auto floatSixteen = header(WaveKind::Int16, 2, 44100, 0);
    setLe16(floatSixteen, 20, 3);
    EXPECT_EQ(accepted(floatSixteen).resolutionText, " bits");
    auto floatTwentyFour = header(WaveKind::Int24, 2, 44100, 0);
    setLe16(floatTwentyFour, 20, 3);
    EXPECT_EQ(accepted(floatTwentyFour).resolutionText, " bits");
    EXPECT_EQ(accepted(header(WaveKind::Int32, 2, 44100, 0)).resolutionText, " bits (integer)");
    EXPECT_EQ(accepted(header(WaveKind::Float32, 2, 44100, 0)).resolutionText, " bits (float)");
}

TEST(WaveHeaderParsing, RejectionMessagesAreExact) {
    EXPECT_EQ(rejectionMessage(HeaderRejection::NotWave), "This is not a Wave file  ");
    const std::string eightBit = std::string(11, ' ') + "This is an 8-bit Wave file." + '\\' + 'n' +
                                 " The resolution must be 16-bit or higher" + std::string(3, ' ');
    EXPECT_EQ(rejectionMessage(HeaderRejection::EightBit), eightBit);
    EXPECT_EQ(rejectionMessage(HeaderRejection::NotPcmOrFloat), "This is not a PCM or float format Wave file  ");
    EXPECT_EQ(rejectionMessage(HeaderRejection::DamagedChunks), "The chunks of this Wave file are damaged  ");
    const std::string layout = std::string("This Wave file has a layout the tool cannot read:") + '\\' + 'n';
    EXPECT_EQ(rejectionMessage(HeaderRejection::UnreadableBits), layout + "The resolution must be 16, 24 or 32-bit  ");
    EXPECT_EQ(rejectionMessage(HeaderRejection::UnreadableChannels), layout + "It must have 1 to 8 channels that agree with its frames  ");
    EXPECT_EQ(rejectionMessage(HeaderRejection::Cut), std::string("This Wave file is shorter than its header says:") +
                                                          '\\' + 'n' + "It was cut short, or is still being written  ");
}

// The panel as it stands after the main loop's line editor took a name on row 8.
struct PanelRun {
    platform::MemoryConsoleDevice device;
    platform::Console console = platform::makeConsole(device);
    std::optional<WaveInfo> info;

    explicit PanelRun(const std::string& name) {
        platform::moveCursor(console, 9, 1);
        const auto file = platform::openRegularFileForReading(name);
        EXPECT_TRUE(file.has_value()) << name;
        if (file) info = readWaveHeader(console, *file);
    }
    std::string row(int number) const { return platform::rowText(console.screen, number); }
};

std::string line(const std::string& text) { return text + std::string(80 - text.size(), ' '); }

const std::string kIndent(28, ' ');

TEST(FileDataPanel, ShowsAStereoSixteenBitMinute) {
    ScratchFolder folder;
    const std::string name = folder.file("minute.wav");
    ASSERT_TRUE(test_support::writeFileBytes(name, withData(header(WaveKind::Int16, 2, 44100, 10584000))));

    PanelRun run(name);
    ASSERT_TRUE(run.info.has_value());
    EXPECT_TRUE(run.device.boxes.empty());
    EXPECT_EQ(run.row(9), line(""));
    EXPECT_EQ(run.row(10), line(""));
    EXPECT_EQ(run.row(11), line(kIndent + "FILE DATA"));
    EXPECT_EQ(run.row(12), line(""));
    EXPECT_EQ(run.row(13), line(kIndent + "Channels     2 "));
    EXPECT_EQ(run.row(14), line(kIndent + "Sample rate  44100 Hz"));
    EXPECT_EQ(run.row(15), line(kIndent + "Resolution   16 bits"));
    EXPECT_EQ(run.row(16), line(kIndent + "Length       2646000 samples"));
    EXPECT_EQ(run.row(17), line(kIndent + "Duration     60 seconds"));
    EXPECT_EQ(run.row(18), line(""));
    EXPECT_EQ(run.console.screen.cursorRow, 21);
    EXPECT_EQ(run.console.screen.cursorColumn, 1);
    EXPECT_FALSE(run.console.screen.cursorVisible);
    EXPECT_EQ(platform::cellAt(run.console.screen, 11, 29).attribute, platform::kAttributeDim);
    EXPECT_EQ(platform::cellAt(run.console.screen, 17, 50).attribute, platform::kAttributeDim);
}

TEST(FileDataPanel, ShowsFloatResolutionAndRoundedDurations) {
    ScratchFolder folder;
    const std::string floats = folder.file("float.wav");
    ASSERT_TRUE(test_support::writeFileBytes(floats, withData(header(WaveKind::Float32, 1, 48000, 4 * 48000 * 3))));
    PanelRun floatRun(floats);
    EXPECT_EQ(floatRun.row(15), line(kIndent + "Resolution   32 bits (float)"));
    EXPECT_EQ(floatRun.row(17), line(kIndent + "Duration     3 seconds"));

    // One 16-bit sample at 8 per second lasts .125 s: the tie 12.5 goes to 12.
    const std::string eighth = folder.file("eighth.wav");
    ASSERT_TRUE(test_support::writeFileBytes(eighth, withData(header(WaveKind::Int16, 1, 8, 2))));
    EXPECT_EQ(PanelRun(eighth).row(17), line(kIndent + "Duration     .12 seconds"));

    const std::string threeEighths = folder.file("three eighths.wav");
    ASSERT_TRUE(test_support::writeFileBytes(threeEighths, withData(header(WaveKind::Int16, 1, 8, 6))));
    EXPECT_EQ(PanelRun(threeEighths).row(17), line(kIndent + "Duration     .38 seconds"));
}

TEST(FileDataPanel, ShowsAnInfiniteDurationForRateZero) {
    ScratchFolder folder;
    const std::string zeroRate = folder.file("zero rate.wav");
    ASSERT_TRUE(test_support::writeFileBytes(zeroRate, withData(header(WaveKind::Int16, 2, 0, 4000))));
    PanelRun run(zeroRate);
    EXPECT_EQ(run.row(14), line(kIndent + "Sample rate  0 Hz"));
    EXPECT_EQ(run.row(16), line(kIndent + "Length       1000 samples"));
    EXPECT_EQ(run.row(17), line(kIndent + "Duration     9.99999999999999E+998 seconds"));
}

TEST(ReadWaveHeader, RejectionsShowTheirBoxAndPrintNothing) {
    ScratchFolder folder;
    auto eightBit = header(WaveKind::Int16, 1, 8000, 100);
    setLe16(eightBit, 34, 8);
    auto nineChannels = header(WaveKind::Int16, 9, 8000, 100);
    auto damaged = test_support::makeRiff("RIFF", {test_support::makeChunk("JUNK", {}, 1000)});
    auto cut = cutAt(withData(header(WaveKind::Int16, 2, 44100, 4000)), 1000);
    const std::pair<std::vector<std::byte>, HeaderRejection> files[] = {
        {eightBit, HeaderRejection::EightBit},
        {nineChannels, HeaderRejection::UnreadableChannels},
        {damaged, HeaderRejection::DamagedChunks},
        {cut, HeaderRejection::Cut},
    };
    for (const auto& [bytes, reason] : files) {
        const std::string name = folder.file("refused.wav");
        ASSERT_TRUE(test_support::writeFileBytes(name, bytes));
        PanelRun run(name);
        EXPECT_FALSE(run.info.has_value());
        ASSERT_EQ(run.device.boxes.size(), 1u);
        EXPECT_EQ(run.device.boxes[0].message, rejectionMessage(reason));
        EXPECT_EQ(run.device.boxes[0].caption, "  ERROR");
        EXPECT_EQ(run.device.beeps, 1);
        EXPECT_EQ(run.console.screen.cursorRow, 9);
        EXPECT_TRUE(run.console.screen.cursorVisible);
        for (int row = 9; row <= 21; ++row) EXPECT_EQ(run.row(row), line("")) << "row " << row;
    }
}

TEST(ReadWaveHeader, ShortFilesAreNotWaveFilesOrCut) {
    ScratchFolder folder;
    const auto full = header(WaveKind::Int16, 2, 44100, 400);
    for (const std::size_t length : {0u, 11u}) {
        const std::string name = folder.file("short " + std::to_string(length) + ".wav");
        ASSERT_TRUE(test_support::writeFileBytes(name, std::span(full).first(length)));
        PanelRun run(name);
        EXPECT_FALSE(run.info.has_value());
        ASSERT_EQ(run.device.boxes.size(), 1u);
        EXPECT_EQ(run.device.boxes[0].message, "This is not a Wave file  ");
    }
    // A 43-byte file ends inside its data chunk header: cut.
    const std::string cut = folder.file("cut.wav");
    ASSERT_TRUE(test_support::writeFileBytes(cut, std::span(full).first(43)));
    PanelRun cutRun(cut);
    EXPECT_FALSE(cutRun.info.has_value());
    ASSERT_EQ(cutRun.device.boxes.size(), 1u);
    EXPECT_EQ(cutRun.device.boxes[0].message, rejectionMessage(HeaderRejection::Cut));
}

}  // namespace
}  // namespace vantorel::wave
