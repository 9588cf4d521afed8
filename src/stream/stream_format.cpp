#include "stream/stream_format.h"

#include <limits>

namespace vantorel::stream {

double durationSeconds(const StreamFormat& format) {
    if (format.sampleRate == 0) {
        if (format.frames == 0) return std::numeric_limits<double>::quiet_NaN();
        return format.frames > 0 ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    }
    return static_cast<double>(format.frames) / static_cast<double>(format.sampleRate);
}

std::string resolutionText(const StreamFormat& format) {
    if (format.floatEncoding && (format.bitsPerSample == 32 || format.bitsPerSample == 64)) return " bits (float)";
    if (!format.floatEncoding && format.bitsPerSample == 32) return " bits (integer)";
    return " bits";
}

}  // namespace vantorel::stream
