// Writes the demo recording: 30 seconds of stereo 16-bit music at 44.1 kHz made
// here from harmonic tones (a bass line, four-note chords and a melody) under a
// slowly swelling and fading loudness, mixed differently for left and right, so
// that its slice peaks spread over roughly 0 to 30 dB below full scale.
// Deterministic: the same bytes on every run.
//
// Usage: make_demo_wav OUT.wav

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

#include "wave_writer.h"

namespace {

constexpr int kRate = 44100;
constexpr int kSeconds = 30;
constexpr std::int64_t kFrames = std::int64_t{kRate} * kSeconds;
constexpr double kChordSeconds = 2.0;
constexpr double kMelodySeconds = 0.25;

double noteFrequency(int midiNote) { return 440.0 * std::pow(2.0, (midiNote - 69) / 12.0); }

double decibels(double dB) { return std::pow(10.0, dB / 20.0); }

// A tone with a few harmonics of falling strength, like a plucked string.
double harmonicTone(double frequency, double seconds) {
    double sum = 0;
    for (int harmonic = 1; harmonic <= 6; ++harmonic) {
        const double strength = 1.0 / (harmonic * harmonic * 0.6 + 0.4);
        sum += strength * std::sin(2 * std::numbers::pi * frequency * harmonic * seconds);
    }
    return sum;
}

// Sharp attack, exponential decay: how loud a note is `seconds` after it starts.
double noteEnvelope(double seconds, double decayPerSecond) {
    const double attack = std::min(1.0, seconds / 0.01);
    return attack * std::exp(-decayPerSecond * seconds);
}

// Overall loudness in dB over the piece: a quiet start, a swell, a dip and a
// loud close, spanning about 26 dB.
double loudnessDb(double seconds) {
    const double phrase = std::sin(std::numbers::pi * seconds / kSeconds);
    const double wave = std::sin(2 * std::numbers::pi * seconds / 7.5);
    return -26.0 + 20.0 * phrase + 6.0 * wave * phrase;
}

struct Chord {
    int bass;
    std::array<int, 4> notes;
};

// I - vi - IV - V in C major, with the chord tones voiced around middle C.
constexpr std::array<Chord, 4> kProgression{{
    {36, {60, 64, 67, 72}},
    {33, {57, 60, 64, 69}},
    {29, {53, 57, 60, 65}},
    {31, {55, 59, 62, 67}},
}};

constexpr std::array<int, 16> kMelody{76, 74, 72, 74, 76, 76, 76, 79, 74, 74, 76, 74, 72, 71, 72, 67};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_demo_wav OUT.wav\n");
        return 2;
    }

    std::vector<double> left(kFrames), right(kFrames);
    for (std::int64_t frame = 0; frame < kFrames; ++frame) {
        const double t = static_cast<double>(frame) / kRate;
        const auto chordIndex = static_cast<std::size_t>(t / kChordSeconds);
        const Chord& chord = kProgression[chordIndex % kProgression.size()];
        const double inChord = t - static_cast<double>(chordIndex) * kChordSeconds;
        const auto melodyIndex = static_cast<std::size_t>(t / kMelodySeconds);
        const double inMelody = t - static_cast<double>(melodyIndex) * kMelodySeconds;

        const double bass = 0.9 * noteEnvelope(inChord, 1.2) * harmonicTone(noteFrequency(chord.bass), t);
        double pad = 0;
        for (const int note : chord.notes) pad += 0.22 * noteEnvelope(inChord, 0.7) * harmonicTone(noteFrequency(note), t);
        const double melody = 0.5 * noteEnvelope(inMelody, 6.0) *
                              harmonicTone(noteFrequency(kMelody[melodyIndex % kMelody.size()]), t);

        // Bass in the middle, chords leaning left, melody leaning right; the right
        // channel also runs 3 dB quieter through the second half.
        const double gain = decibels(loudnessDb(t));
        const double rightTrim = t < kSeconds / 2.0 ? 1.0 : decibels(-3.0);
        left[static_cast<std::size_t>(frame)] = gain * (bass + 0.8 * pad + 0.45 * melody);
        right[static_cast<std::size_t>(frame)] = gain * rightTrim * (bass + 0.45 * pad + 0.8 * melody);
    }

    // Scale so that the loudest sample of either channel stands just below full scale.
    double peak = 0;
    for (std::size_t i = 0; i < left.size(); ++i) peak = std::max({peak, std::fabs(left[i]), std::fabs(right[i])});
    const double scale = peak > 0 ? 0.97 * 32767.0 / peak : 0.0;

    using namespace vantorel::test_support;
    const bool written = writeWaveFile(argv[1], {WaveKind::Int16, 2, kRate}, kFrames, [&](int channel, std::int64_t frame) {
        const auto index = static_cast<std::size_t>(frame);
        return scale * (channel == 0 ? left[index] : right[index]);
    });
    if (!written) {
        std::fprintf(stderr, "make_demo_wav: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
