#pragma once
// The decoder module: FFmpeg's libraries pull in a hundred further shared
// libraries, which would cost every start of the program a tenth of a second
// and 25 MB. So the decoder is a module of its own, loaded the first time a
// file that is not a wave file comes along; the wave path never loads it.

#include "decode/audio_decoder.h"

namespace vantorel::decode {

// What the module hands the program: its operations, as audio_decoder.h
// describes them.
struct DecoderModule {
    std::variant<OpenedAudio, DecodeFailure> (*open)(const InputBytes& input);
    std::variant<std::uint64_t, DecodeFailure> (*decodeInt16)(OpenedAudio&, const stream::SampleBlockReceiver<stream::SampleKind::Int16>&);
    std::variant<std::uint64_t, DecodeFailure> (*decodeInt32)(OpenedAudio&, const stream::SampleBlockReceiver<stream::SampleKind::Int32>&);
    std::variant<std::uint64_t, DecodeFailure> (*decodeFloat32)(OpenedAudio&,
                                                                const stream::SampleBlockReceiver<stream::SampleKind::Float32>&);
    std::variant<std::uint64_t, DecodeFailure> (*decodeFloat64)(OpenedAudio&,
                                                                const stream::SampleBlockReceiver<stream::SampleKind::Float64>&);
    std::variant<std::uint64_t, DecodeFailure> (*decodePartInt16)(const OpenedAudio&, std::int64_t, std::int64_t,
                                                                  const stream::SampleBlockReceiver<stream::SampleKind::Int16>&);
    std::variant<std::uint64_t, DecodeFailure> (*decodePartInt32)(const OpenedAudio&, std::int64_t, std::int64_t,
                                                                  const stream::SampleBlockReceiver<stream::SampleKind::Int32>&);
};

// The module's file and its one exported function, which gives the table.
inline constexpr const char* kDecoderModuleFile = "libvantorel_decode.so";
inline constexpr const char* kDecoderModuleEntry = "vantorel_decoder_module";
using DecoderModuleEntry = const DecoderModule* (*)();

}  // namespace vantorel::decode
