// Loading benchmark: how long loadSamples takes on hour-long stereo files, next
// to the time `cat` needs to read the same file from the page cache, and how
// much memory it uses at its peak next to the interleaved temporary plus the
// channel arrays.
//
// Usage: bench_load [FOLDER] [--minutes M] [--repeats R]
//   FOLDER   where the test files are kept (default /tmp); missing ones are
//            generated, existing ones of the right size are reused.
//   M        length of each file in minutes (default 60)
//   R        runs per measurement; the best time is reported (default 3)
//
// Each load runs in a fresh child process, so its peak memory starts clean.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/memory_advice.h"
#include "platform/process_probe.h"
#include "platform/zeroed_memory.h"
#include "wave/sample_loader.h"
#include "wave/wave_info.h"
#include "wave_writer.h"

namespace {

using namespace vantorel;
using Clock = std::chrono::steady_clock;
using test_support::WaveKind;

constexpr int kRate = 44100;

struct Case {
    WaveKind kind;
    const char* label;
};

constexpr Case kCases[] = {
    {WaveKind::Int16, "int16"},
    {WaveKind::Int24, "int24"},
    {WaveKind::Float32, "float32"},
};

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double megabytes(double bytes) { return bytes / 1e6; }

std::string quoted(const std::string& path) {
    std::string text = "'";
    for (const char c : path) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return text + "'";
}

// Makes the file unless one of the right size is there already.
bool ensureFile(const std::filesystem::path& path, WaveKind kind, std::int64_t frames) {
    const std::uint64_t expected =
        44 + static_cast<std::uint64_t>(frames) * 2 * static_cast<std::uint64_t>(test_support::bytesPerSample(kind));
    std::error_code error;
    if (std::filesystem::file_size(path, error) == expected && !error) return true;
    std::printf("generating %s ...\n", path.c_str());
    std::fflush(stdout);
    // One second of a 440 Hz tone (left) and a 660 Hz tone (right), repeated.
    std::vector<double> tone(kRate);
    for (int i = 0; i < kRate; ++i) tone[static_cast<std::size_t>(i)] = std::sin(2 * std::numbers::pi * 220.0 * i / kRate);
    const double scale = kind == WaveKind::Int16 ? 20000.0 : kind == WaveKind::Int24 ? 5000000.0 : 0.6;
    return test_support::writeWaveFile(path, {kind, 2, kRate}, frames, [&](int channel, std::int64_t frame) {
        const auto index = static_cast<std::size_t>((frame * (channel + 2)) % kRate);
        return scale * tone[index];
    });
}

struct CatRun {
    double seconds = 1e30;  // clock time
    double cpu = 1e30;      // processor time of the shell and cat
};

// Reads the whole file with cat; the best of `repeats` runs.
CatRun timeCat(const std::string& path, int repeats) {
    const std::string command = "cat " + quoted(path) + " > /dev/null";
    CatRun best;
    for (int run = 0; run < repeats; ++run) {
        const double cpuBefore = platform::finishedChildrenCpuSeconds();
        const auto start = Clock::now();
        if (std::system(command.c_str()) != 0) return {-1, -1};
        best.seconds = std::min(best.seconds, secondsSince(start));
        best.cpu = std::min(best.cpu, platform::finishedChildrenCpuSeconds() - cpuBefore);
    }
    return best;
}

struct LoadRun {
    double total = 0;
    double cpu = 0;
    double allocating = 0;
    double reading = 0;
    double splitting = 0;
    double peakBytes = 0;
};

std::optional<wave::WaveInfo> headerOf(const std::string& path) {
    std::vector<std::byte> bytes(44);
    if (const auto file = platform::openRegularFileForReading(path)) platform::readAt(*file, 0, bytes);
    const auto parsed = wave::parseWaveHeader(bytes);
    if (const auto* info = std::get_if<wave::WaveInfo>(&parsed)) return *info;
    return std::nullopt;
}

// One load in a fresh child process.
std::optional<LoadRun> measureLoad(const std::string& path) {
    const auto text = platform::runInChildProcess([&]() -> std::string {
        const auto info = headerOf(path);
        if (!info) return "";
        platform::resetPeakResident();
        const double before = static_cast<double>(platform::peakResidentBytes());
        wave::LoadPhaseTimes times;
        const double cpuBefore = platform::processCpuSeconds();
        const auto start = Clock::now();
        auto loaded = wave::loadSamples(path, *info, &times);
        const double total = secondsSince(start);
        const double cpu = platform::processCpuSeconds() - cpuBefore;
        const double peak = static_cast<double>(platform::peakResidentBytes()) - before;
        if (!std::holds_alternative<wave::ChannelSamples>(loaded)) return "";
        std::ostringstream out;
        out << total << ' ' << cpu << ' ' << times.allocating << ' ' << times.reading << ' ' << times.splitting << ' ' << peak;
        return out.str();
    });
    if (!text || text->empty()) return std::nullopt;
    std::istringstream in(*text);
    LoadRun run;
    in >> run.total >> run.cpu >> run.allocating >> run.reading >> run.splitting >> run.peakBytes;
    return run;
}

// First-touch cost of fresh pages as large as the loader's channel arrays, with
// the same page advice: one write per 4 KiB, in a fresh child process.
double measurePageFaults(std::uint64_t bytes) {
    const auto text = platform::runInChildProcess([&]() -> std::string {
        const auto start = Clock::now();
        auto block = platform::allocateZeroedBlock(static_cast<std::size_t>(bytes));
        if (!block) return "";
        platform::preferLargePages(*block);  // as the loader does
        for (std::size_t offset = 0; offset < block->size(); offset += 4096) block->data()[offset] = std::byte{1};
        return std::to_string(secondsSince(start));
    });
    return text && !text->empty() ? std::stod(*text) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder = "/tmp";
    int minutes = 60;
    int repeats = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--minutes" && i + 1 < argc) minutes = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--repeats" && i + 1 < argc) repeats = std::max(1, std::atoi(argv[++i]));
        else if (arg.starts_with("--")) {
            std::fprintf(stderr, "usage: bench_load [FOLDER] [--minutes M] [--repeats R]\n");
            return 2;
        } else folder = arg;
    }
    const std::int64_t frames = std::int64_t{kRate} * 60 * minutes;

    std::printf("loadSamples on %d-minute stereo 44.1 kHz files in %s, best of %d runs\n", minutes, folder.c_str(),
                repeats);
    std::printf("faults = first touch of fresh pages as large as the channel arrays (part of split)\n");
    std::printf("bound = the interleaved temporary plus the channel arrays; the loader reads in pieces and needs\n"
                "        only the arrays and a small buffer\n\n");
    std::printf("clock times (s) with processor times (cpu s) beside them; ratio = load / cat for each\n\n");
    std::printf("%-8s %8s %7s %7s %7s %7s %6s %6s %7s %7s %7s %7s %9s %9s\n", "kind", "file MB", "cat s", "cat cpu",
                "load s", "ld cpu", "ratio", "cpu x", "alloc s", "read s", "split s", "fault s", "peak MB", "bound MB");

    bool allWithin = true;
    for (const Case& benchCase : kCases) {
        const std::filesystem::path path =
            std::filesystem::path(folder) / ("vantorel-bench-" + std::to_string(minutes) + "min-" + benchCase.label + ".wav");
        if (!ensureFile(path, benchCase.kind, frames)) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
        const std::string name = path.string();
        timeCat(name, 1);  // brings the file into the page cache
        const CatRun cat = timeCat(name, repeats);

        std::optional<LoadRun> best;
        double peak = 0;
        for (int run = 0; run < repeats; ++run) {
            const auto measured = measureLoad(name);
            if (!measured) {
                std::fprintf(stderr, "load of %s failed\n", name.c_str());
                return 1;
            }
            peak = std::max(peak, measured->peakBytes);
            if (!best || measured->total < best->total) best = measured;
        }

        const auto info = headerOf(name);
        const double fileBytes = static_cast<double>(std::filesystem::file_size(path));
        const double dataBytes = static_cast<double>(info->dataBytes);
        const double elementBytes = benchCase.kind == WaveKind::Int16 ? 2 : 4;
        const double arrayBytes = 2.0 * static_cast<double>(info->sampleCount) * elementBytes;
        const double bound = dataBytes + arrayBytes;  // interleaved temporary + both channel arrays
        const double faults = measurePageFaults(static_cast<std::uint64_t>(arrayBytes));

        const double ratio = best->total / cat.seconds;
        const double cpuRatio = best->cpu / cat.cpu;
        allWithin = allWithin && ratio <= 3.0 && peak <= bound * 1.01;
        std::printf("%-8s %8.1f %7.3f %7.3f %7.3f %7.3f %6.2f %6.2f %7.3f %7.3f %7.3f %7.3f %9.1f %9.1f\n",
                    benchCase.label, megabytes(fileBytes), cat.seconds, cat.cpu, best->total, best->cpu, ratio, cpuRatio,
                    best->allocating, best->reading, best->splitting, faults, megabytes(peak), megabytes(bound));
        std::fflush(stdout);
    }
    std::printf("\ntargets (load clock time <= 3 x cat, peak <= bound): %s\n",
                allWithin ? "met" : "NOT met");
    return 0;
}
