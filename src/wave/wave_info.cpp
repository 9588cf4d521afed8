#include "wave/wave_info.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "stream/samples.h"

namespace vantorel::wave {

namespace {

// Length of the canonical header: RIFF header, 16-byte format chunk, data chunk header.
constexpr std::size_t kHeaderBytes = 44;
// Where its format fields end and the data chunk header begins.
constexpr std::size_t kFormatEnd = 36;

// A data size that says "unknown": a writer that could not seek back to fill it in.
constexpr std::uint32_t kUnknownSize = 0xFFFFFFFF;

// Bytes of the format chunk the reader looks at: the 16 basic ones, the
// extension size (2), valid bits (2), channel mask (4) and sub-format GUID (16).
constexpr std::size_t kFormatBytes = 40;
constexpr std::size_t kChannelMaskOffset = 20;  // speaker positions, 4 bytes
constexpr std::size_t kSubFormatOffset = 24;
constexpr std::int16_t kExtensibleTag = -2;  // 0xFFFE read as signed

// The sub-format GUIDs of integer PCM and IEEE float, in file byte order: the
// format tag in the first two bytes, then the fixed tail 0000-0010-8000-00AA00389B71.
constexpr std::array<std::uint8_t, 16> subFormatGuid(std::uint8_t tag) {
    return {tag, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
}

std::uint16_t readLe16(std::span<const std::byte> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(std::to_integer<unsigned>(bytes[offset]) |
                                      std::to_integer<unsigned>(bytes[offset + 1]) << 8);
}

std::uint32_t readLe32(std::span<const std::byte> bytes, std::size_t offset) {
    return std::to_integer<std::uint32_t>(bytes[offset]) |
           std::to_integer<std::uint32_t>(bytes[offset + 1]) << 8 |
           std::to_integer<std::uint32_t>(bytes[offset + 2]) << 16 |
           std::to_integer<std::uint32_t>(bytes[offset + 3]) << 24;
}

std::uint64_t readLe64(std::span<const std::byte> bytes, std::size_t offset) {
    return readLe32(bytes, offset) | std::uint64_t{readLe32(bytes, offset + 4)} << 32;
}

bool hasTag(std::span<const std::byte> bytes, std::size_t offset, std::string_view tag) {
    for (std::size_t i = 0; i < tag.size(); ++i)
        if (bytes[offset + i] != static_cast<std::byte>(tag[i])) return false;
    return true;
}

// Whether a byte may stand at `position` (0..3) of a chunk's tag: printable
// ASCII, and no blank first.
bool isTagCharacter(std::size_t position, std::byte byte) {
    const auto character = std::to_integer<unsigned>(byte);
    return character <= 0x7E && character >= (position == 0 ? 0x21u : 0x20u);
}

// The file's bytes as the header reader sees them, read a window at a time: in
// most files the canonical header, the chunk headers and the format all come
// from the first read, and a file of a hundred thousand tiny chunks costs a few
// hundred reads, not one per chunk. Bytes past the end of the file, or that
// cannot be read, are 0.
class FileWindow {
public:
    FileWindow(const FileByteReader& read, std::uint64_t fileSize) : read_(read), fileSize_(fileSize) {}

    std::uint64_t fileSize() const { return fileSize_; }

    // The N bytes at `offset` (N at most a window).
    template <std::size_t N>
    std::array<std::byte, N> bytesAt(std::uint64_t offset) {
        static_assert(N <= kWindowBytes);
        std::array<std::byte, N> bytes{};
        if (offset >= fileSize_) return bytes;
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(N, fileSize_ - offset));
        if (offset < start_ || offset - start_ + wanted > window_.size()) {
            window_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kWindowBytes, fileSize_ - offset)));
            const std::size_t got = std::min(read_(offset, window_), window_.size());
            std::fill(window_.begin() + static_cast<std::ptrdiff_t>(got), window_.end(), std::byte{0});
            start_ = offset;
        }
        std::copy_n(window_.begin() + static_cast<std::ptrdiff_t>(offset - start_), wanted, bytes.begin());
        return bytes;
    }

    // Whether a chunk header stands at `offset`: a tag of four printable ASCII
    // characters, not beginning with a blank, and a size that stays inside the
    // file (a data chunk's may run past its end, as in a cut recording).
    bool isChunkHeaderAt(std::uint64_t offset) {
        if (offset > fileSize_ || fileSize_ - offset < 8) return false;
        const auto header = bytesAt<8>(offset);
        for (std::size_t i = 0; i < 4; ++i)
            if (!isTagCharacter(i, header[i])) return false;
        return hasTag(header, 0, "data") || readLe32(header, 4) <= fileSize_ - offset - 8;
    }

private:
    static constexpr std::size_t kWindowBytes = 4096;
    const FileByteReader& read_;
    std::uint64_t fileSize_;
    std::vector<std::byte> window_;
    std::uint64_t start_ = 0;
};

// What the chunk walk found.
struct ChunkLayout {
    std::optional<std::array<std::byte, kFormatBytes>> format;  // payload of the first usable "fmt ", zero-padded
    std::uint32_t formatSize = 0;
    std::optional<std::uint64_t> ds64DataSize;                  // RF64 / BW64 only
    std::optional<std::uint64_t> dataOffset;                    // payload of the first "data" after "fmt "
    std::uint32_t dataSize = 0;
    // The chunks contradict each other or the file: a size past its end, a
    // format chunk shorter than 16 bytes, or the data before a usable format.
    bool damaged = false;
    // After a usable format the file ended inside a chunk or a chunk header
    // before any data chunk: the rest of the file, the data among it, is missing.
    bool endedBeforeTheData = false;
};

// Whether the `count` bytes (up to 4) at `offset` could begin a chunk's tag.
bool looksLikeTagAt(FileWindow& file, std::uint64_t offset, std::size_t count) {
    const auto bytes = file.bytesAt<4>(offset);
    for (std::size_t i = 0; i < std::min<std::size_t>(count, 4); ++i)
        if (!isTagCharacter(i, bytes[i])) return false;
    return true;
}

// Whether a chunk the reader looks for stands at `offset`: its tag there wins
// over any chunk header guessed one byte later.
bool isFormatOrDataChunkAt(FileWindow& file, std::uint64_t offset) {
    if (!file.isChunkHeaderAt(offset)) return false;
    const auto header = file.bytesAt<8>(offset);
    return hasTag(header, 0, "data") || hasTag(header, 0, "fmt ");
}

// Walks the chunks from offset 12 to the first "data" chunk: a 4-byte tag, a
// 4-byte little-endian size, the payload and a pad byte after an odd size.
// Offsets are 64-bit and only grow, so no size can make the walk loop or read
// outside the file, and no number of chunks stalls it.
ChunkLayout walkChunks(FileWindow& file, bool isRf64) {
    ChunkLayout layout;
    const std::uint64_t fileSize = file.fileSize();
    std::uint64_t offset = 12;
    while (offset <= fileSize && fileSize - offset >= 8) {
        const auto header = file.bytesAt<8>(offset);
        const std::uint32_t size = readLe32(header, 4);
        const std::uint64_t payload = offset + 8;
        if (hasTag(header, 0, "data")) {
            // Nothing after the data is a chunk; whether they are all there is
            // checked once the layout is known. Only the format must come first.
            if (layout.format) {
                layout.dataOffset = payload;
                layout.dataSize = size;
            } else {
                layout.damaged = true;
            }
            break;
        }
        if (size > fileSize - payload) {  // runs past the end of the file
            // After the format a chunk is where the file was cut; before it, or
            // where no tag stands, the chunks cannot be told from damaged ones.
            (layout.format && looksLikeTagAt(file, offset, 4) ? layout.endedBeforeTheData : layout.damaged) = true;
            break;
        }
        if (hasTag(header, 0, "fmt ") && !layout.format) {
            if (size >= 16) {
                layout.format = file.bytesAt<kFormatBytes>(payload);
                // Bytes beyond the chunk are not part of the format.
                if (size < kFormatBytes) std::fill(layout.format->begin() + size, layout.format->end(), std::byte{0});
                layout.formatSize = size;
            } else {
                layout.damaged = true;
            }
        } else if (hasTag(header, 0, "ds64") && isRf64 && !layout.ds64DataSize && size >= 16) {
            // ds64: RIFF size (8 bytes), data size (8), sample count (8), table.
            layout.ds64DataSize = readLe64(file.bytesAt<16>(payload), 8);
        }
        offset = payload + size;
        if (size & 1u) {
            // The pad byte after an odd size. Some writers leave it out: their
            // next chunk header stands one byte earlier, where only it is one,
            // or where it is the data or the format. The padded position may
            // look like a header too: "ata" and a printable low byte of the
            // data size, then a size from the rest of it and the first sample.
            const bool unpadded = isFormatOrDataChunkAt(file, offset) ||
                                  (file.isChunkHeaderAt(offset) && !file.isChunkHeaderAt(offset + 1));
            if (!unpadded) ++offset;
        }
    }
    // A chunk header cut short after the format, the data not yet found. Bytes
    // that begin no tag are the end of a walk gone astray, not a cut.
    if (layout.format && !layout.dataOffset && !layout.damaged && offset < fileSize &&
        looksLikeTagAt(file, offset, static_cast<std::size_t>(fileSize - offset)))
        layout.endedBeforeTheData = true;
    return layout;
}

// Whether the first 44 bytes look like the canonical header, whatever their
// tags: a 16-byte chunk at offset 12, or the data chunk's tag at offset 36.
bool laidOutCanonically(std::span<const std::byte> header) {
    return readLe32(header, 16) == 16 || hasTag(header, 36, "data");
}

// Samples per channel: dataBytes x 8 / (channels x bits), the exact quotient
// rounded to nearest with ties to even, in integers. Counts beyond the 64-bit
// range (a ds64 claim of exabytes) are held at its top.
std::int64_t deriveSampleCount(std::uint64_t dataBytes, int channels, int bitsPerSample) {
    const auto divisor = static_cast<unsigned __int128>(channels * bitsPerSample);  // > 0 for readable layouts
    const unsigned __int128 dividend = static_cast<unsigned __int128>(dataBytes) * 8;
    unsigned __int128 quotient = dividend / divisor;
    const unsigned __int128 remainder = dividend % divisor;
    if (2 * remainder > divisor || (2 * remainder == divisor && (quotient & 1) != 0)) ++quotient;
    const auto top = static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::int64_t>(quotient > top ? top : quotient);
}

// sampleCount / sampleRate. A rate of 0 gives an infinity of the count's sign, or
// NaN for a count of 0, as IEEE division would, without dividing by zero.
double deriveDuration(std::int64_t sampleCount, std::int32_t sampleRate) {
    if (sampleRate == 0) {
        if (sampleCount == 0) return std::numeric_limits<double>::quiet_NaN();
        return sampleCount > 0 ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    }
    return static_cast<double>(sampleCount) / static_cast<double>(sampleRate);
}

std::string resolutionTextFor(std::int16_t formatTag, std::int16_t bitsPerSample) {
    if (bitsPerSample == 32 && formatTag == 1) return " bits (integer)";
    if (bitsPerSample == 32 && formatTag == 3) return " bits (float)";
    return " bits";
}

}  // namespace

std::variant<WaveInfo, HeaderRejection> parseWaveHeader(const FileByteReader& read, std::uint64_t fileSize) {
    FileWindow file(read, fileSize);
    const auto header = file.bytesAt<kHeaderBytes>(0);

    // Fixed offsets of the canonical header, little-endian, two's complement:
    //  0  4  RIFF tag                 "RF64" / "BW64" mark a ds64 chunk
    //  4  4  RIFF size                not used
    //  8  4  form type                must be "WAVE"
    // 12  4  format chunk tag
    // 16  4  format chunk size        16 marks the canonical layout
    // 20  2  format tag, signed       1 PCM, 3 IEEE float (0xFFFE reads as -2)
    // 22  1  channel count, low byte  0..255
    // 23  1  channel count, high byte skipped
    // 24  4  samples per second, signed
    // 28  4  bytes per second         not used
    // 32  2  block alignment          not used
    // 34  2  bits per sample, signed
    // 36  4  data chunk tag           "data" marks the canonical layout
    // 40  4  data size in bytes, unsigned
    if (!hasTag(header, 8, "WAVE")) return HeaderRejection::NotWave;
    std::span<const std::byte> format = std::span(header).subspan(20);  // the fields at payload +0 .. +15
    std::uint32_t formatSize = 16;
    std::uint64_t dataOffset = kSampleDataOffset;
    std::uint32_t dataSize = readLe32(header, 40);
    std::optional<std::uint64_t> ds64DataSize;

    const ChunkLayout layout = walkChunks(file, hasTag(header, 0, "RF64") || hasTag(header, 0, "BW64"));
    const bool walked = layout.format && (layout.dataOffset || layout.endedBeforeTheData);
    if (walked) {
        format = *layout.format;
        formatSize = layout.formatSize;
        dataOffset = layout.dataOffset.value_or(kSampleDataOffset);
        dataSize = layout.dataSize;
        ds64DataSize = layout.ds64DataSize;
    } else if (layout.damaged && !laidOutCanonically(header)) {
        return HeaderRejection::DamagedChunks;
    } else if (fileSize < kFormatEnd) {
        // Read at the fixed offsets, the format fields would be the zeros of
        // missing bytes: the file's end, not its layout, is what is wrong.
        return HeaderRejection::Cut;
    }

    WaveInfo info;
    info.formatTag = static_cast<std::int16_t>(readLe16(format, 0));
    info.channels = std::to_integer<std::int16_t>(format[2]);
    info.sampleRate = static_cast<std::int32_t>(readLe32(format, 4));
    info.bitsPerSample = static_cast<std::int16_t>(readLe16(format, 14));
    if (info.formatTag == kExtensibleTag && formatSize >= kFormatBytes) {
        info.channelMask = readLe32(format, kChannelMaskOffset);
        const auto guid = format.subspan(kSubFormatOffset, 16);
        for (const std::uint8_t tag : {std::uint8_t{1}, std::uint8_t{3}}) {
            const auto expected = subFormatGuid(tag);
            if (std::equal(guid.begin(), guid.end(), expected.begin(),
                           [](std::byte a, std::uint8_t b) { return std::to_integer<std::uint8_t>(a) == b; }))
                info.formatTag = tag;
        }
    }

    // Checked in this order; the first failure decides the message.
    if (info.bitsPerSample == 8) return HeaderRejection::EightBit;
    if (info.formatTag != 1 && info.formatTag != 3) return HeaderRejection::NotPcmOrFloat;
    if (info.bitsPerSample != 16 && info.bitsPerSample != 24 && info.bitsPerSample != 32)
        return HeaderRejection::UnreadableBits;
    // Mono and stereo take the low byte of the count as it stands (258 reads as
    // 2). More channels must be what the full count and the block alignment
    // say, so that a count such as 260 is not taken for 4.
    const bool surround = info.channels >= 3 && info.channels <= stream::kMaxChannels &&
                          readLe16(format, 2) == static_cast<std::uint16_t>(info.channels) &&
                          readLe16(format, 12) == info.channels * info.bitsPerSample / 8;
    if (info.channels != 1 && info.channels != 2 && !surround) return HeaderRejection::UnreadableChannels;
    // The file ends inside a chunk before the data, or inside the fixed data chunk header.
    if (layout.endedBeforeTheData || (!walked && fileSize < kHeaderBytes)) return HeaderRejection::Cut;

    info.dataOffset = dataOffset;
    info.fileBytes = fileSize;
    const std::uint64_t bytesAfterHeader = fileSize > dataOffset ? fileSize - dataOffset : 0;
    if (dataSize == kUnknownSize && ds64DataSize.value_or(0) != 0) {
        info.dataBytes = *ds64DataSize;
    } else if (dataSize == kUnknownSize ||
               (dataSize == 0 && bytesAfterHeader > 0 && !file.isChunkHeaderAt(dataOffset))) {
        // Unknown (a stream, or a ds64 that was never filled in), or never closed;
        // an empty data chunk followed by another chunk stays empty.
        info.dataBytes = bytesAfterHeader;
    } else {
        info.dataBytes = dataSize;
    }
    // Fewer whole frames than the size states: cut, or still being written. A
    // last frame cut short is no frame lost.
    const std::uint64_t frameBytes = static_cast<std::uint64_t>(info.channels) * (info.bitsPerSample / 8);
    if (bytesAfterHeader / frameBytes < info.dataBytes / frameBytes) return HeaderRejection::Cut;
    info.sampleCount = deriveSampleCount(info.dataBytes, info.channels, info.bitsPerSample);
    info.durationSeconds = deriveDuration(info.sampleCount, info.sampleRate);
    info.resolutionText = resolutionTextFor(info.formatTag, info.bitsPerSample);
    return info;
}

std::variant<WaveInfo, HeaderRejection> parseWaveHeader(std::span<const std::byte> fileBytes) {
    const FileByteReader read = [fileBytes](std::uint64_t offset, std::span<std::byte> into) -> std::size_t {
        if (offset >= fileBytes.size()) return 0;
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), fileBytes.size() - offset));
        std::copy_n(fileBytes.begin() + static_cast<std::ptrdiff_t>(offset), count, into.begin());
        return count;
    };
    return parseWaveHeader(read, fileBytes.size());
}

std::string_view rejectionMessage(HeaderRejection rejection) {
    switch (rejection) {
        case HeaderRejection::NotWave:
            return "This is not a Wave file  ";
        case HeaderRejection::EightBit:
            // The backslash and the n are two characters of the message, not a line end.
            return "           This is an 8-bit Wave file.\\n The resolution must be 16-bit or higher   ";
        case HeaderRejection::NotPcmOrFloat:
            return "This is not a PCM or float format Wave file  ";
        case HeaderRejection::DamagedChunks:
            return "The chunks of this Wave file are damaged  ";
        case HeaderRejection::UnreadableBits:
            return "This Wave file has a layout the tool cannot read:\\nThe resolution must be 16, 24 or 32-bit  ";
        case HeaderRejection::UnreadableChannels:
            return "This Wave file has a layout the tool cannot read:\\nIt must have 1 to 8 channels that agree with its frames  ";
        case HeaderRejection::Cut:
            return "This Wave file is shorter than its header says:\\nIt was cut short, or is still being written  ";
    }
    return "This is not a Wave file  ";
}

std::variant<WaveInfo, HeaderRejection> parseWaveFile(const platform::ReadOnlyFile& file) {
    const FileByteReader read = [&file](std::uint64_t offset, std::span<std::byte> into) {
        return platform::readAt(file, offset, into);
    };
    return parseWaveHeader(read, platform::fileSize(file));
}

}  // namespace vantorel::wave
