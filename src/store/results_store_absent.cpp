// A build without SQLite (the Windows cross-build): every use of a store is
// refused with a message that says why.
#include "store/results_store.h"

namespace vantorel::store {

struct StoreConnection {};

void StoreConnectionCloser::operator()(StoreConnection* connection) const { delete connection; }

bool resultsStoreAvailable() { return false; }

std::variant<ResultsStore, StoreFailure> openResultsStore(const std::string&) {
    return StoreFailure{"--db needs the results store of the Linux build"};
}

std::optional<analysis::TrackResult> findTrack(ResultsStore&, const TrackKey&) { return std::nullopt; }

bool holdsTrack(ResultsStore&, const TrackKey&) { return false; }

std::optional<bool> storedTrackDecoded(ResultsStore&, const TrackKey&) { return std::nullopt; }

std::optional<StoreFailure> saveTrack(ResultsStore&, const TrackKey&, const std::string&, const analysis::TrackResult&) {
    return StoreFailure{"this build has no results store"};
}

std::optional<StoreFailure> saveAlbum(ResultsStore&, const std::string&, const writers::AlbumSummary&) {
    return StoreFailure{"this build has no results store"};
}

std::variant<std::vector<std::string>, StoreFailure> storedPaths(ResultsStore&, const std::string&, bool) {
    return StoreFailure{"this build has no results store"};
}

std::variant<std::size_t, StoreFailure> removeTracks(ResultsStore&, std::span<const std::string>) {
    return StoreFailure{"this build has no results store"};
}

}  // namespace vantorel::store
