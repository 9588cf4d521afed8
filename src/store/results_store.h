#pragma once
// The results store: an SQLite database that keeps the result of every file
// analysed with it, so that a later run takes the results of files that have
// not changed instead of reading their audio again. A file's row is found by
// its absolute path and is taken only when its size, modification time and
// identity, the options that shape a result and the record's version all
// agree. Two runs may use one store at the same time (write-ahead log, a busy
// timeout); a file that is not a store of this tool, or one of a newer
// version, is refused and never written.

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "analysis/track_result.h"
#include "platform/files.h"
#include "writers/album_summary.h"

namespace vantorel::store {

// Why the store could not be used: one sentence naming the store's file.
struct StoreFailure {
    std::string message;
};

struct StoreConnection;
struct StoreConnectionCloser {
    void operator()(StoreConnection* connection) const;
};

// An open store. Its operations may be called from several threads at once.
struct ResultsStore {
    std::unique_ptr<StoreConnection, StoreConnectionCloser> connection;
};

// Whether this build has a results store at all (the Windows cross-build has none).
bool resultsStoreAvailable();

// Opens the store, creating it (and its tables) when the file is missing or
// empty. Refuses a file that is not an SQLite database, one that is but not a
// store of this tool, and a store of a newer version.
std::variant<ResultsStore, StoreFailure> openResultsStore(const std::string& file);

// What a stored result is looked up by.
struct TrackKey {
    std::string path;  // absolute (platform::absolutePath)
    platform::FileStamp stamp;
    bool loudness = false;  // measured with --loudness
};

// The stored result for the key when the row's stamp, options and record
// version agree with it; none otherwise, also when the row cannot be decoded.
std::optional<analysis::TrackResult> findTrack(ResultsStore& store, const TrackKey& key);

// Whether findTrack would give a result, without decoding it.
bool holdsTrack(ResultsStore& store, const TrackKey& key);

// Whether the file of a result findTrack would give was decoded (is not a
// wave file); none when there is no such result.
std::optional<bool> storedTrackDecoded(ResultsStore& store, const TrackKey& key);

// Keeps the result for the key, replacing the row of the same path.
// `folder` is the absolute folder the file lies in.
std::optional<StoreFailure> saveTrack(ResultsStore& store, const TrackKey& key, const std::string& folder,
                                      const analysis::TrackResult& result);

// Keeps an album's values (the row of the same folder replaced); `folder` absolute.
std::optional<StoreFailure> saveAlbum(ResultsStore& store, const std::string& folder,
                                      const writers::AlbumSummary& album);

// The paths of the rows whose folder is `folder` or, with `below`, lies
// anywhere under it; in path order.
std::variant<std::vector<std::string>, StoreFailure> storedPaths(ResultsStore& store, const std::string& folder,
                                                                 bool below);

// Removes the rows of these paths, then every album row no track row lies in
// any more. Gives how many track rows went.
std::variant<std::size_t, StoreFailure> removeTracks(ResultsStore& store, std::span<const std::string> paths);

}  // namespace vantorel::store
