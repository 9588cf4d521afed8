// The decoder seam: the operations of audio_decoder.h, carried out by the
// decoder module where the build has one and it loads. Without it (the Windows
// build, or a module gone missing) common audio containers are recognised by
// their first bytes, so that their users learn that this build cannot decode
// them rather than that the file is no wave file.
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "decode/audio_decoder.h"
#include "decode/decoder_module.h"
#include "platform/module.h"

namespace vantorel::decode {

stream::StreamFormat streamFormatOf(const DecodedFormat& format) {
    return {.channels = format.channels,
            .sampleRate = format.sampleRate,
            .kind = format.kind,
            .bitsPerSample = format.bitsPerSample,
            .floatEncoding = format.floatSamples,
            .lossy = format.lossy,
            .frames = format.frames,
            .framesKnown = format.exactFrames,
            .channelMask = format.channelMask,
            .codecName = format.formatName};
}

namespace {

bool startsWith(std::span<const std::byte> bytes, std::size_t offset, std::string_view magic) {
    if (bytes.size() < offset + magic.size()) return false;
    for (std::size_t i = 0; i < magic.size(); ++i)
        if (bytes[offset + i] != static_cast<std::byte>(magic[i])) return false;
    return true;
}

// The first bytes of FLAC, Ogg, WavPack, Monkey's Audio, TTA, MP4/M4A, AIFF,
// CAF, Wave64 and MP3 with an ID3 tag or a frame header at the start.
bool looksLikeAudio(std::span<const std::byte> head) {
    constexpr std::array<std::string_view, 8> kMagic = {"fLaC", "OggS", "wvpk", "MAC ", "TTA1", "caff", "ID3", "riff"};
    for (const std::string_view magic : kMagic)
        if (startsWith(head, 0, magic)) return true;
    if (startsWith(head, 4, "ftyp")) return true;
    if (startsWith(head, 0, "FORM") && (startsWith(head, 8, "AIFF") || startsWith(head, 8, "AIFC"))) return true;
    // An MPEG audio frame header: 11 sync bits, a layer, a bit-rate index that
    // is neither free nor invalid, and a valid sample rate.
    if (head.size() >= 4) {
        const auto b1 = std::to_integer<unsigned>(head[1]);
        const auto b2 = std::to_integer<unsigned>(head[2]);
        return std::to_integer<unsigned>(head[0]) == 0xFF && (b1 & 0xE0) == 0xE0 && (b1 & 0x06) != 0 &&
               (b2 & 0xF0) != 0 && (b2 & 0xF0) != 0xF0 && (b2 & 0x0C) != 0x0C;
    }
    return false;
}

// Loads the decoder module once, on first use, from beside the program (the
// build folder; a fuzz target one folder below it) or from where it is
// installed; nullptr when the build has none or it does not load.
const DecoderModule* decoderModule() {
#ifdef VANTOREL_DECODER_MODULE_INSTALL_DIR
    static const DecoderModule* const module = [] {
        const std::string folder = platform::programFolder();
        if (folder.empty()) return static_cast<const DecoderModule*>(nullptr);
        const std::vector<std::string> files = {
            folder + "/" + kDecoderModuleFile, folder + "/../" + kDecoderModuleFile,
            folder + "/../" + VANTOREL_DECODER_MODULE_INSTALL_DIR + "/" + kDecoderModuleFile};
        void* entry = platform::loadModuleEntry(files, kDecoderModuleEntry);
        return entry == nullptr ? nullptr : reinterpret_cast<DecoderModuleEntry>(entry)();
    }();
    return module;
#else
    return nullptr;
#endif
}

template <stream::SampleKind kind>
auto moduleDecoder(const DecoderModule& module) {
    if constexpr (kind == stream::SampleKind::Int16) return module.decodeInt16;
    else if constexpr (kind == stream::SampleKind::Int32) return module.decodeInt32;
    else if constexpr (kind == stream::SampleKind::Float32) return module.decodeFloat32;
    else return module.decodeFloat64;
}

}  // namespace

std::variant<OpenedAudio, DecodeFailure> openDecodedAudio(const InputBytes& input) {
    if (const DecoderModule* module = decoderModule()) return module->open(input);
    std::array<std::byte, 16> head{};
    const std::size_t got = input.read(0, head).value_or(0);
    if (looksLikeAudio(std::span(head).first(got))) return DecodeFailure{DecodeFailureKind::NoDecoders, {}};
    return DecodeFailure{DecodeFailureKind::NotAudio, {}};
}

template <stream::SampleKind kind>
std::variant<std::uint64_t, DecodeFailure> decodeAudio(OpenedAudio& opened, const stream::SampleBlockReceiver<kind>& receive) {
    if (const DecoderModule* module = decoderModule()) return moduleDecoder<kind>(*module)(opened, receive);
    return DecodeFailure{DecodeFailureKind::NoDecoders, {}};
}

template <stream::SampleKind kind>
std::variant<std::uint64_t, DecodeFailure> decodeAudioPart(const OpenedAudio& opened, std::int64_t firstFrame,
                                                           std::int64_t endFrame, const stream::SampleBlockReceiver<kind>& receive) {
    const DecoderModule* module = decoderModule();
    if (module == nullptr) return DecodeFailure{DecodeFailureKind::NoDecoders, {}};
    if constexpr (kind == stream::SampleKind::Int16) return module->decodePartInt16(opened, firstFrame, endFrame, receive);
    else return module->decodePartInt32(opened, firstFrame, endFrame, receive);
}

template std::variant<std::uint64_t, DecodeFailure> decodeAudioPart<stream::SampleKind::Int16>(
    const OpenedAudio&, std::int64_t, std::int64_t, const stream::SampleBlockReceiver<stream::SampleKind::Int16>&);
template std::variant<std::uint64_t, DecodeFailure> decodeAudioPart<stream::SampleKind::Int32>(
    const OpenedAudio&, std::int64_t, std::int64_t, const stream::SampleBlockReceiver<stream::SampleKind::Int32>&);
template std::variant<std::uint64_t, DecodeFailure> decodeAudio<stream::SampleKind::Int16>(
    OpenedAudio&, const stream::SampleBlockReceiver<stream::SampleKind::Int16>&);
template std::variant<std::uint64_t, DecodeFailure> decodeAudio<stream::SampleKind::Int32>(
    OpenedAudio&, const stream::SampleBlockReceiver<stream::SampleKind::Int32>&);
template std::variant<std::uint64_t, DecodeFailure> decodeAudio<stream::SampleKind::Float32>(
    OpenedAudio&, const stream::SampleBlockReceiver<stream::SampleKind::Float32>&);
template std::variant<std::uint64_t, DecodeFailure> decodeAudio<stream::SampleKind::Float64>(
    OpenedAudio&, const stream::SampleBlockReceiver<stream::SampleKind::Float64>&);

stream::SourceFailure sourceFailureOf(const DecodeFailure& failure) {
    using Kind = stream::SourceFailure::Kind;
    switch (failure.kind) {
        case DecodeFailureKind::ReadFailed: return {.kind = Kind::ReadFailed, .detail = failure.detail};
        case DecodeFailureKind::OutOfMemory: return {.kind = Kind::OutOfMemory, .detail = failure.detail};
        case DecodeFailureKind::Damaged: return {.kind = Kind::Damaged, .detail = failure.detail};
        case DecodeFailureKind::NotAudio:
        case DecodeFailureKind::NoDecoders:
        case DecodeFailureKind::TooManyChannels:
        case DecodeFailureKind::Unsupported: break;
    }
    return {.kind = Kind::Unsupported, .detail = failure.detail};
}

DecodeFailure decodeFailureOf(const stream::SourceFailure& failure) {
    using Kind = stream::SourceFailure::Kind;
    switch (failure.kind) {
        case Kind::ReadFailed: return {.kind = DecodeFailureKind::ReadFailed, .detail = failure.detail};
        case Kind::OutOfMemory: return {.kind = DecodeFailureKind::OutOfMemory, .detail = failure.detail};
        case Kind::Damaged: return {.kind = DecodeFailureKind::Damaged, .detail = failure.detail};
        case Kind::Unsupported: break;
    }
    return {.kind = DecodeFailureKind::Unsupported, .detail = failure.detail};
}

stream::SampleSource decodedSource(OpenedAudio& opened) {
    using stream::SampleKind;
    stream::SampleSource source{.format = streamFormatOf(opened.format), .readAll = {}, .readPart = {}};
    const auto outcomeOf = [](const std::variant<std::uint64_t, DecodeFailure>& decoded) -> stream::ReadOutcome {
        if (const auto* failure = std::get_if<DecodeFailure>(&decoded)) return sourceFailureOf(*failure);
        return static_cast<std::int64_t>(std::get<std::uint64_t>(decoded));
    };
    source.readAll = [&opened, outcomeOf](const stream::BlockSink& sink) -> stream::ReadOutcome {
        return stream::withKind(opened.format.kind, [&]<SampleKind kind>() -> stream::ReadOutcome {
            if constexpr (kind == SampleKind::Int24) {
                return stream::SourceFailure{.kind = stream::SourceFailure::Kind::Unsupported, .detail = {}};
            } else {
                return outcomeOf(decodeAudio<kind>(
                    opened, [&](const stream::ChannelSamples<kind>& block) { sink(stream::AnyBlock{block}); }));
            }
        });
    };
    const SampleKind kind = opened.format.kind;
    if (opened.format.splittable && (kind == SampleKind::Int16 || kind == SampleKind::Int32)) {
        source.readPart = [&opened, outcomeOf](std::int64_t first, std::int64_t end,
                                               const stream::BlockSink& sink) -> stream::ReadOutcome {
            return stream::withKind(opened.format.kind, [&]<SampleKind each>() -> stream::ReadOutcome {
                if constexpr (each == SampleKind::Int16 || each == SampleKind::Int32) {
                    return outcomeOf(decodeAudioPart<each>(opened, first, end, [&](const stream::ChannelSamples<each>& block) {
                        sink(stream::AnyBlock{block});
                    }));
                } else {
                    return stream::SourceFailure{.kind = stream::SourceFailure::Kind::Unsupported, .detail = {}};
                }
            });
        };
    }
    return source;
}

}  // namespace vantorel::decode
