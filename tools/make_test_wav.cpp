// Writes wave files for the end-to-end tests: any sample kind, channel count,
// rate and length, a few simple signals, and raw header overrides for malformed
// files. Run with --help for the options.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <numbers>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wave_writer.h"

namespace {

using namespace vantorel::test_support;

constexpr const char* kUsage =
    "usage: make_test_wav OUT [options]\n"
    "\n"
    "Writes a canonical 44-byte-header wave file to OUT.\n"
    "\n"
    "  --kind int16|int24|int32|float32   sample encoding (default int16; float32 gets tag 3)\n"
    "  --channels N                        channels (default 2)\n"
    "  --rate R                            samples per second (default 44100)\n"
    "  --seconds S                         length, may be fractional (default 1);\n"
    "                                      frames = S x R rounded to nearest\n"
    "  --frames F                          length in frames (overrides --seconds)\n"
    "  --signal sine|silence|nan|inf       (default sine)\n"
    "      sine:    --frequency Hz (default 1000) at --level-db dB below full scale\n"
    "               (default 6); channel c (0-based) is a further c x --channel-step-db\n"
    "               dB lower (default 0)\n"
    "      silence: all samples 0\n"
    "      nan:     float32 quiet NaN everywhere (integer kinds: 0)\n"
    "      inf:     +infinity everywhere (integer kinds: positive full scale)\n"
    "  --set-u16 OFFSET=VALUE              store a little-endian 16-bit value at OFFSET\n"
    "  --set-u32 OFFSET=VALUE              store a little-endian 32-bit value at OFFSET\n"
    "  --set-bytes OFFSET=ASCII            store the characters at OFFSET\n"
    "  --truncate BYTES                    cut (or zero-extend) the file to BYTES bytes\n"
    "\n"
    "Numbers may be decimal or 0x-prefixed hex. Overrides are applied in the order\n"
    "given, after the samples are generated and before --truncate. Examples:\n"
    "  make_test_wav a.wav --kind int24 --channels 1 --rate 48000 --seconds 30\n"
    "  make_test_wav b.wav --set-u16 20=0xFFFE            (extensible tag)\n"
    "  make_test_wav c.wav --set-u32 40=0xFFFFFFFF        (claims 4 GiB of data)\n"
    "  make_test_wav d.wav --set-bytes 8=WAVX --truncate 30\n";

struct Override {
    enum class Kind { U16, U32, Bytes } kind;
    std::size_t offset = 0;
    std::uint32_t value = 0;
    std::string text;
};

std::optional<unsigned long long> parseNumber(std::string_view text) {
    if (text.empty()) return std::nullopt;
    const std::string copy(text);
    char* end = nullptr;
    const unsigned long long value = std::strtoull(copy.c_str(), &end, 0);
    if (end == copy.c_str() || *end != '\0' || copy.front() == '-') return std::nullopt;
    return value;
}

std::optional<double> parseReal(std::string_view text) {
    const std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || *end != '\0') return std::nullopt;
    return value;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "make_test_wav: %s\n%s", message.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    for (const auto arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    if (args.empty() || args.front().starts_with("--")) return fail("missing OUT");

    const std::string out(args.front());
    WaveLayout layout;
    double seconds = 1.0;
    std::optional<std::int64_t> frames;
    std::string signal = "sine";
    double frequency = 1000.0;
    double levelDb = 6.0;
    double channelStepDb = 0.0;
    std::vector<Override> overrides;
    std::optional<std::size_t> truncateTo;

    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string_view option = args[i];
        if (i + 1 >= args.size()) return fail("missing value after " + std::string(option));
        const std::string_view value = args[++i];
        if (option == "--kind") {
            if (value == "int16") layout.kind = WaveKind::Int16;
            else if (value == "int24") layout.kind = WaveKind::Int24;
            else if (value == "int32") layout.kind = WaveKind::Int32;
            else if (value == "float32") layout.kind = WaveKind::Float32;
            else return fail("unknown kind " + std::string(value));
        } else if (option == "--channels") {
            const auto n = parseNumber(value);
            if (!n || *n > 65535) return fail("bad channel count");
            layout.channels = static_cast<int>(*n);
        } else if (option == "--rate") {
            const auto n = parseNumber(value);
            if (!n || *n > 0xFFFFFFFFull) return fail("bad rate");
            layout.sampleRate = static_cast<std::int32_t>(static_cast<std::uint32_t>(*n));
        } else if (option == "--seconds") {
            const auto s = parseReal(value);
            if (!s || *s < 0) return fail("bad seconds");
            seconds = *s;
        } else if (option == "--frames") {
            const auto n = parseNumber(value);
            if (!n || *n > static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max())) return fail("bad frames");
            frames = static_cast<std::int64_t>(*n);
        } else if (option == "--signal") {
            if (value != "sine" && value != "silence" && value != "nan" && value != "inf")
                return fail("unknown signal " + std::string(value));
            signal = value;
        } else if (option == "--frequency") {
            const auto f = parseReal(value);
            if (!f) return fail("bad frequency");
            frequency = *f;
        } else if (option == "--level-db") {
            const auto d = parseReal(value);
            if (!d) return fail("bad level");
            levelDb = *d;
        } else if (option == "--channel-step-db") {
            const auto d = parseReal(value);
            if (!d) return fail("bad channel step");
            channelStepDb = *d;
        } else if (option == "--set-u16" || option == "--set-u32" || option == "--set-bytes") {
            const std::size_t equals = value.find('=');
            if (equals == std::string_view::npos) return fail("expected OFFSET=VALUE after " + std::string(option));
            const auto offset = parseNumber(value.substr(0, equals));
            if (!offset || *offset > (1u << 20)) return fail("bad offset");
            Override change{Override::Kind::Bytes, static_cast<std::size_t>(*offset), 0, {}};
            if (option == "--set-bytes") {
                change.text = value.substr(equals + 1);
            } else {
                const auto number = parseNumber(value.substr(equals + 1));
                const unsigned long long limit = option == "--set-u16" ? 0xFFFFull : 0xFFFFFFFFull;
                if (!number || *number > limit) return fail("bad value in " + std::string(value));
                change.kind = option == "--set-u16" ? Override::Kind::U16 : Override::Kind::U32;
                change.value = static_cast<std::uint32_t>(*number);
            }
            overrides.push_back(change);
        } else if (option == "--truncate") {
            const auto n = parseNumber(value);
            if (!n) return fail("bad truncate length");
            truncateTo = static_cast<std::size_t>(*n);
        } else {
            return fail("unknown option " + std::string(option));
        }
    }

    const std::int64_t frameCount =
        frames ? *frames : static_cast<std::int64_t>(std::nearbyint(seconds * static_cast<double>(layout.sampleRate)));
    const double fullScale = layout.kind == WaveKind::Int16   ? 32768.0
                             : layout.kind == WaveKind::Int24 ? 8388608.0
                             : layout.kind == WaveKind::Int32 ? 2147483648.0
                                                              : 1.0;
    const double rate = static_cast<double>(layout.sampleRate);
    const SampleGenerator generator = [&](int channel, std::int64_t frame) -> double {
        if (signal == "silence") return 0.0;
        if (signal == "nan") return std::numeric_limits<double>::quiet_NaN();
        if (signal == "inf") return std::numeric_limits<double>::infinity();
        const double amplitude = fullScale * std::pow(10.0, -(levelDb + channel * channelStepDb) / 20.0);
        return amplitude * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(frame) / rate);
    };

    if (overrides.empty() && !truncateTo) {
        // Plain files are streamed, so long ones need no memory.
        if (!writeWaveFile(out, layout, frameCount, generator)) return fail("cannot write " + out);
        return 0;
    }
    std::vector<std::byte> bytes = makeWaveBytes(layout, frameCount, generator);
    for (const Override& change : overrides) {
        switch (change.kind) {
            case Override::Kind::U16: setLe16(bytes, change.offset, static_cast<std::uint16_t>(change.value)); break;
            case Override::Kind::U32: setLe32(bytes, change.offset, change.value); break;
            case Override::Kind::Bytes: setBytes(bytes, change.offset, change.text); break;
        }
    }
    if (truncateTo) bytes.resize(*truncateTo);
    if (!writeFileBytes(out, bytes)) return fail("cannot write " + out);
    return 0;
}
