// The results store and its record: a result kept and read back is the same
// to the last bit, bytes it did not write are refused, a row is found only
// while its file is unchanged, and files not its own are never written.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "analysis/level_distribution.h"
#include "measure/loudness.h"
#include "store/results_store.h"
#include "store/track_record.h"
#include "wave/sample_loader.h"
#include "wave/wave_info.h"
#include "wave_writer.h"

namespace vantorel::store {
namespace {

using test_support::ScratchFolder;
using test_support::WaveKind;

// A result measured from a generated wave file: a sine with a spike per channel.
analysis::TrackResult measuredResult(const ScratchFolder& folder, WaveKind kind, int channels, bool loudness) {
    const std::string name = folder.file("take.wav");
    const bool written = test_support::writeWaveFile(
        name, {.kind = kind, .channels = channels, .sampleRate = 8000}, 8000 * 7, [](int channel, std::int64_t frame) {
            return frame % 9000 == 4000 ? 0.9 : 0.2 / (channel + 1) * std::sin(0.3 * static_cast<double>(frame));
        });
    EXPECT_TRUE(written);
    const auto file = platform::openRegularFileForReading(name);
    EXPECT_TRUE(file.has_value());
    const auto parsed = wave::parseWaveFile(*file);
    const auto& info = std::get<wave::WaveInfo>(parsed);
    auto measured = analysis::analyseStream(wave::waveSource(*file, info), {}, {.loudness = loudness, .decodeParts = 1});
    return {.version = analysis::kTrackResultVersion, .format = wave::streamFormatOf(info),
            .levels = std::move(std::get<analysis::LevelAnalysis>(measured))};
}

void expectSameResult(const analysis::TrackResult& kept, const analysis::TrackResult& measured) {
    EXPECT_EQ(kept.format, measured.format);
    EXPECT_EQ(kept.levels.dynamics, measured.levels.dynamics);
    ASSERT_EQ(kept.levels.histograms.size(), measured.levels.histograms.size());
    for (std::size_t channel = 0; channel < kept.levels.histograms.size(); ++channel)
        EXPECT_EQ(kept.levels.histograms[channel].bins, measured.levels.histograms[channel].bins);
    EXPECT_EQ(kept.levels.grid.sliceCount, measured.levels.grid.sliceCount);
    EXPECT_EQ(kept.levels.grid.sliceLength, measured.levels.grid.sliceLength);
    EXPECT_EQ(kept.levels.scale.top, measured.levels.scale.top);
    EXPECT_EQ(kept.levels.scale.divisions, measured.levels.scale.divisions);
    ASSERT_EQ(kept.levels.drBlocks.size(), measured.levels.drBlocks.size());
    for (std::size_t i = 0; i < kept.levels.drBlocks.size(); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(kept.levels.drBlocks[i].rmsSquared),
                  std::bit_cast<std::uint64_t>(measured.levels.drBlocks[i].rmsSquared));
        EXPECT_EQ(std::bit_cast<std::uint64_t>(kept.levels.drBlocks[i].peak),
                  std::bit_cast<std::uint64_t>(measured.levels.drBlocks[i].peak));
    }
    ASSERT_EQ(kept.levels.loudness.has_value(), measured.levels.loudness.has_value());
    if (kept.levels.loudness) {
        EXPECT_EQ(kept.levels.loudness->integratedLufs, measured.levels.loudness->integratedLufs);
        EXPECT_EQ(kept.levels.loudness->rangeLu, measured.levels.loudness->rangeLu);
        EXPECT_EQ(kept.levels.loudness->truePeakDbtp, measured.levels.loudness->truePeakDbtp);
        EXPECT_EQ(kept.levels.loudness->plrDb, measured.levels.loudness->plrDb);
        EXPECT_EQ(kept.levels.loudness->blocks, measured.levels.loudness->blocks);
    }
    EXPECT_EQ(encodeTrackResult(kept), encodeTrackResult(measured));
}

TEST(TrackRecord, KeepsEveryFieldOfMeasuredResultsToTheBit) {
    struct Case {
        WaveKind kind;
        int channels;
        bool loudness;
    };
    for (const Case& c : {Case{WaveKind::Int16, 1, false}, Case{WaveKind::Float32, 2, true},
                          Case{WaveKind::Int24, 6, true}, Case{WaveKind::Int32, 2, false}}) {
        if (c.loudness && !measure::loudnessAvailable()) continue;
        ScratchFolder folder;
        const analysis::TrackResult measured = measuredResult(folder, c.kind, c.channels, c.loudness);
        ASSERT_FALSE(measured.levels.drBlocks.empty());
        const std::optional<analysis::TrackResult> kept = decodeTrackResult(encodeTrackResult(measured));
        ASSERT_TRUE(kept.has_value()) << c.channels << " channels";
        expectSameResult(*kept, measured);
    }
    // Values no plain measurement gives keep their bits too: a decoded file's format, NaN, -0, infinities.
    analysis::TrackResult odd{.version = analysis::kTrackResultVersion,
                              .format = {.channels = 1, .sampleRate = 0, .kind = stream::SampleKind::Float64,
                                         .bitsPerSample = 32, .floatEncoding = true, .lossy = true, .frames = -1,
                                         .framesKnown = false, .channelMask = 0x4, .codecName = "Opus \"x\""},
                              .levels = {}};
    odd.levels.histograms.resize(1);
    odd.levels.histograms[0].bins[40] = std::numeric_limits<std::int64_t>::max();
    odd.levels.dynamics = {.channels = {{.peak = -0.0, .fullScaleSamples = 7, .dr = std::nan("")}},
                           .peak = std::numeric_limits<double>::infinity(), .dr = -3, .frames = 5};
    odd.levels.drBlocks = {{.rmsSquared = std::nan("1"), .peak = -std::numeric_limits<double>::infinity()}};
    odd.levels.loudness = measure::Loudness{.integratedLufs = -0.0, .rangeLu = {}, .truePeakDbtp = {}, .plrDb = 1.5,
                                            .blocks = measure::LoudnessBlocks{.gating = {1e-300}, .shortTerm = {}}};
    const std::vector<std::byte> bytes = encodeTrackResult(odd);
    const std::optional<analysis::TrackResult> kept = decodeTrackResult(bytes);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(kept->format, odd.format);
    EXPECT_EQ(encodeTrackResult(*kept), bytes);
}

TEST(TrackRecord, RefusesBytesItDidNotWrite) {
    ScratchFolder folder;
    const std::vector<std::byte> bytes = encodeTrackResult(measuredResult(folder, WaveKind::Int16, 2, false));
    for (std::size_t length = 0; length < bytes.size(); ++length)
        ASSERT_FALSE(decodeTrackResult(std::span(bytes).first(length)).has_value()) << length;
    std::vector<std::byte> longer = bytes;
    longer.push_back(std::byte{0});
    EXPECT_FALSE(decodeTrackResult(longer).has_value());
    // The fields by their place: the version, the channels, and the histograms' count after the format.
    constexpr std::size_t kHistogramCount = 8 + (4 * 8 + 2 + 8 + 1 + 8 + 8);
    const auto changed = [&](std::size_t offset, std::uint64_t value) {
        std::vector<std::byte> copy = bytes;
        for (int i = 0; i < 8; ++i) copy[offset + i] = static_cast<std::byte>(value >> (8 * i));
        return decodeTrackResult(copy).has_value();
    };
    EXPECT_TRUE(changed(8, 2));
    for (const auto& [offset, value] : std::vector<std::pair<std::size_t, std::uint64_t>>{
             {0, analysis::kTrackResultVersion + 1}, {8, 0}, {8, 9}, {8, 1}, {kHistogramCount, 1},
             {kHistogramCount, std::uint64_t{1} << 62}, {8 + 16, 99}})
        EXPECT_FALSE(changed(offset, value)) << offset << " = " << value;
}

platform::FileStamp stampOf(std::uint64_t size) {
    return {.size = size, .modifiedNs = 1'700'000'000'123'456'789, .identity = {.volume = 64769, .index = 1234567}};
}

ResultsStore openedStore(const std::string& file) {
    auto opened = openResultsStore(file);
    if (const auto* failure = std::get_if<StoreFailure>(&opened)) ADD_FAILURE() << failure->message;
    return std::move(std::get<ResultsStore>(opened));
}

std::string fileText(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ResultsStore, GivesARowBackOnlyWhileItsFileIsUnchanged) {
    if (!resultsStoreAvailable()) GTEST_SKIP() << "this build has no results store";
    ScratchFolder folder;
    const analysis::TrackResult result = measuredResult(folder, WaveKind::Int16, 2, false);
    const std::string file = folder.file("lib.db");
    const TrackKey key{.path = "/music/a/01 x.wav", .stamp = stampOf(100), .loudness = false};
    {
        ResultsStore store = openedStore(file);
        EXPECT_FALSE(findTrack(store, key).has_value());
        EXPECT_EQ(saveTrack(store, key, "/music/a", result), std::nullopt);
        EXPECT_EQ(saveTrack(store, key, "/music/a", result), std::nullopt);  // replaced, not doubled
        const auto found = findTrack(store, key);
        ASSERT_TRUE(found.has_value());
        expectSameResult(*found, result);
        EXPECT_TRUE(holdsTrack(store, key));
        EXPECT_EQ(storedTrackDecoded(store, key), std::optional<bool>(false));
        std::vector<TrackKey> others(6, key);
        others[0].path = "/music/a/01 x.WAV";
        others[1].stamp.size = 101;
        others[2].stamp.modifiedNs += 1;
        others[3].stamp.identity.volume += 1;
        others[4].stamp.identity.index += 1;
        others[5].loudness = true;
        for (const TrackKey& other : others) {
            EXPECT_FALSE(findTrack(store, other).has_value()) << other.path << " " << other.stamp.size;
            EXPECT_FALSE(holdsTrack(store, other));
        }
    }
    ResultsStore again = openedStore(file);
    EXPECT_TRUE(findTrack(again, key).has_value());
    const auto paths = storedPaths(again, "/music/a", false);
    EXPECT_EQ(std::get<std::vector<std::string>>(paths), std::vector<std::string>{key.path});
}

TEST(ResultsStore, FindsTheRowsOfAFolderAndBelowItAndRemovesThem) {
    if (!resultsStoreAvailable()) GTEST_SKIP() << "this build has no results store";
    ScratchFolder folder;
    const analysis::TrackResult result = measuredResult(folder, WaveKind::Int16, 1, false);
    ResultsStore store = openedStore(folder.file("lib.db"));
    const std::vector<std::pair<std::string, std::string>> rows{
        {"/m/a/1.wav", "/m/a"}, {"/m/a/b/2.wav", "/m/a/b"}, {"/m/a2/3.wav", "/m/a2"}, {"/m/%_/4.wav", "/m/%_"},
        {"/m/ab/5.wav", "/m/ab"}};
    for (const auto& [path, parent] : rows)
        ASSERT_EQ(saveTrack(store, {.path = path, .stamp = stampOf(1), .loudness = false}, parent, result), std::nullopt);
    const auto paths = [&](const std::string& of, bool below) {
        return std::get<std::vector<std::string>>(storedPaths(store, of, below));
    };
    EXPECT_EQ(paths("/m/a", false), std::vector<std::string>{"/m/a/1.wav"});
    EXPECT_EQ(paths("/m/a", true), (std::vector<std::string>{"/m/a/1.wav", "/m/a/b/2.wav"}));
    EXPECT_EQ(paths("/m/%_", true), std::vector<std::string>{"/m/%_/4.wav"});
    EXPECT_EQ(paths("/m", true).size(), rows.size());
    EXPECT_EQ(paths("/", true).size(), rows.size());
    const std::vector<std::string> gone{"/m/a/1.wav", "/m/a/b/2.wav", "/m/none.wav"};
    EXPECT_EQ(std::get<std::size_t>(removeTracks(store, gone)), 2u);
    EXPECT_EQ(paths("/m", true).size(), rows.size() - 2);
}

TEST(ResultsStore, LeavesFilesThatAreNotItsOwnAsTheyAre) {
    if (!resultsStoreAvailable()) GTEST_SKIP() << "this build has no results store";
    ScratchFolder folder;
    const std::string text = folder.file("notes.db");
    const std::string notes(100, 'x');
    ASSERT_TRUE(test_support::writeFileBytes(text, std::as_bytes(std::span(notes))));
    // A store made here, then its header made that of another program's database or of a newer store.
    const std::string made = folder.file("made.db");
    { ResultsStore store = openedStore(made); }
    const std::string original = fileText(made);
    ASSERT_GT(original.size(), 100u);
    const auto patched = [&](const std::string& name, std::size_t offset, std::uint8_t value) {
        std::string bytes = original;
        bytes[offset] = static_cast<char>(value);
        std::ofstream(name, std::ios::binary) << bytes;
        return name;
    };
    const std::vector<std::pair<std::string, std::string>> refused{
        {text, "not an SQLite database"},
        {patched(folder.file("other.db"), 71, 0x01), "not a results store"},
        {patched(folder.file("newer.db"), 63, 0x09), "newer version"},
        {folder.path().string(), "cannot be read"}};
    for (const auto& [name, reason] : refused) {
        const std::string before = std::filesystem::is_regular_file(name) ? fileText(name) : "";
        const auto opened = openResultsStore(name);
        ASSERT_TRUE(std::holds_alternative<StoreFailure>(opened)) << name;
        EXPECT_NE(std::get<StoreFailure>(opened).message.find(reason), std::string::npos)
            << std::get<StoreFailure>(opened).message;
        if (!before.empty()) {
            EXPECT_EQ(fileText(name), before) << name;
        }
    }
    const std::string empty = folder.file("empty.db");
    ASSERT_TRUE(test_support::writeFileBytes(empty, {}));
    EXPECT_TRUE(std::holds_alternative<ResultsStore>(openResultsStore(empty)));
}

TEST(ResultsStore, TwoConnectionsWritingAtOnceLoseNothing) {
    if (!resultsStoreAvailable()) GTEST_SKIP() << "this build has no results store";
    ScratchFolder folder;
    const analysis::TrackResult result = measuredResult(folder, WaveKind::Int16, 1, false);
    const std::string file = folder.file("lib.db");
    constexpr int kRows = 150;
    std::vector<std::thread> writers;
    for (int writer = 0; writer < 2; ++writer)
        writers.emplace_back([&, writer] {
            ResultsStore store = openedStore(file);
            for (int row = 0; row < kRows; ++row) {
                const TrackKey key{.path = "/w" + std::to_string(writer) + "/" + std::to_string(row) + ".wav",
                                   .stamp = stampOf(1), .loudness = false};
                EXPECT_EQ(saveTrack(store, key, "/w" + std::to_string(writer), result), std::nullopt);
            }
        });
    for (std::thread& writer : writers) writer.join();
    ResultsStore store = openedStore(file);
    EXPECT_EQ(std::get<std::vector<std::string>>(storedPaths(store, "/", true)).size(), 2u * kRows);
}

}  // namespace
}  // namespace vantorel::store
