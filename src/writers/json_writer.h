#pragma once
// The command line's JSON document: one object for the whole batch,
//   {"files": [FILE, ...], "failed": [{"path", "error", "stage", "kind"}, ...],
//    "albums": [ALBUM, ...]}
// written piece by piece as the files are done, in the order given. Numbers
// are JSON numbers written in the C locale; a value that is not a finite
// number (the peak of silence, a DR that does not exist) is null. Bytes of a
// name that are not UTF-8 become U+FFFD, so that the document stays valid; such
// a name's bytes are also given in base64 beside it (`path_bytes`,
// `folder_bytes`).

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "writers/album_summary.h"
#include "writers/analysed_file.h"

namespace vantorel::writers {

// A JSON string literal of the text: quotes, backslashes and control
// characters escaped.
std::string jsonString(std::string_view text);

// Standard base64 (RFC 4648, with padding) of the bytes.
std::string base64(std::string_view bytes);

// The shortest text that reads back as the same double; null when it is not finite.
std::string jsonNumber(double value);

// What comes before the first file, between two files, and after the last file.
inline constexpr std::string_view kJsonStart = "{\"files\": [";
inline constexpr std::string_view kJsonSeparator = ",\n";

// One analysed file: path (as given), format, channels, sample_rate, bits
// (null for a lossy source), frames, duration_s, slices, written, peak_dbfs
// and dr, with `loudness` loudness_lufs, loudness_range_lu, true_peak_dbtp and
// plr_db, and channels_detail: per channel its name, peak_dbfs,
// full_scale_samples, dr (one decimal, before rounding), histogram (41 counts,
// 0 to 40 dB below full scale) and percent (the chart's 41 shares).
std::string jsonFile(const std::string& path, const AnalysedFile& file, bool loudness);

// An album: folder, tracks (the number analysed), duration_s, dr, peak_dbfs,
// with loudness loudness_lufs, loudness_range_lu and true_peak_dbtp, and
// channels: per channel name the summed histogram.
std::string jsonAlbum(const AlbumSummary& album);

// A file that was not analysed: its name as given, the one-line message, and
// the stage and kind of its failure by name ("header", "cut").
struct JsonFailure {
    std::string path;
    std::string error;
    std::string stage;
    std::string kind;
};

// The end of the document: the failures, each {"path", "error", "stage",
// "kind"}, and the albums, each as jsonAlbum gives it.
std::string jsonEnd(const std::vector<JsonFailure>& failures, const std::vector<std::string>& albums = {});

}  // namespace vantorel::writers
