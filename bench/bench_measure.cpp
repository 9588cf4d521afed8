// The measurement on its own: analyseLevels on a wave file from the page cache,
// next to a plain loop that reads the same bytes in the same pieces and does
// nothing with them (what `cat` costs, without a second process). Best of R
// runs each, alternating, so that both see the same machine.
//
// Usage: bench_measure FILE [--repeats R]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "analysis/level_distribution.h"
#include "platform/files.h"
#include "wave/wave_info.h"

namespace {

using namespace vantorel;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Reads the data in pieces into one buffer: the floor under any measurement.
double readOnly(const platform::ReadOnlyFile& file, const wave::WaveInfo& info) {
    std::vector<std::byte> buffer(wave::kPieceBytes);
    const auto start = Clock::now();
    for (std::uint64_t offset = info.dataOffset; offset < info.fileBytes; offset += buffer.size()) {
        if (!platform::readUpTo(file, offset, buffer)) return -1;
    }
    return secondsSince(start);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_measure FILE [--repeats R]\n");
        return 2;
    }
    const std::string name = argv[1];
    int repeats = 5;
    if (argc >= 4 && std::string(argv[2]) == "--repeats") repeats = std::atoi(argv[3]);

    const auto file = platform::openRegularFileForReading(name);
    if (!file) {
        std::fprintf(stderr, "bench_measure: cannot open %s\n", name.c_str());
        return 1;
    }
    const auto parsed = wave::parseWaveFile(*file);
    if (!std::holds_alternative<wave::WaveInfo>(parsed)) {
        std::fprintf(stderr, "bench_measure: %s is not a wave file the tool reads\n", name.c_str());
        return 1;
    }
    const wave::WaveInfo& info = std::get<wave::WaveInfo>(parsed);

    readOnly(*file, info);  // into the page cache
    double bestRead = 1e9;
    double bestMeasure = 1e9;
    for (int run = 0; run < repeats; ++run) {
        const double reading = readOnly(*file, info);
        const auto start = Clock::now();
        const auto measured = analysis::analyseLevels(info, *file);
        const double measuring = secondsSince(start);
        if (!std::holds_alternative<analysis::LevelAnalysis>(measured) || reading < 0) {
            std::fprintf(stderr, "bench_measure: reading %s failed\n", name.c_str());
            return 1;
        }
        bestRead = std::min(bestRead, reading);
        bestMeasure = std::min(bestMeasure, measuring);
    }
    const double megabytes = static_cast<double>(info.fileBytes - info.dataOffset) / 1e6;
    std::printf("%s: %.0f MB, %d channel(s), %d bits: measure %.3f s, read only %.3f s, ratio %.2f (%.1f GB/s)\n",
                name.c_str(), megabytes, info.channels, info.bitsPerSample, bestMeasure, bestRead,
                bestMeasure / bestRead, megabytes / 1000 / bestMeasure);
    return 0;
}
