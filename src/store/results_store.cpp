#include "store/results_store.h"

#include <sqlite3.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>
#include <utility>

#include "measure/dynamics.h"
#include "store/track_record.h"
#include "stream/channel_layout.h"
#include "writers/json_writer.h"

namespace vantorel::store {

namespace {

// Marks a database as a store of this tool ("VTOR"), and the layout of its tables.
constexpr int kApplicationId = 0x56544f52;
constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 60'000;

constexpr const char* kSchema = R"(
CREATE TABLE tracks (
  path TEXT PRIMARY KEY, folder TEXT NOT NULL, name TEXT NOT NULL,
  size_bytes INTEGER NOT NULL, modified_ns INTEGER NOT NULL, device INTEGER NOT NULL, inode INTEGER NOT NULL,
  loudness_measured INTEGER NOT NULL, record_version INTEGER NOT NULL, analysed_at TEXT NOT NULL,
  codec TEXT NOT NULL, sample_rate INTEGER NOT NULL, channels INTEGER NOT NULL, bits_per_sample INTEGER NOT NULL,
  duration_s REAL NOT NULL, peak_dbfs REAL, dr INTEGER, loudness_lufs REAL, range_lu REAL, true_peak_dbtp REAL,
  plr_db REAL, histograms TEXT NOT NULL, record BLOB NOT NULL);
CREATE INDEX tracks_by_folder ON tracks(folder);
CREATE TABLE albums (
  folder TEXT PRIMARY KEY, tracks INTEGER NOT NULL, duration_s REAL NOT NULL, peak_dbfs REAL, dr INTEGER,
  loudness_lufs REAL, range_lu REAL, true_peak_dbtp REAL, plr_db REAL, updated_at TEXT NOT NULL);
)";

struct StatementCloser {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

}  // namespace

struct StoreConnection {
    sqlite3* database = nullptr;
    std::string file;
    std::mutex lock;  // one operation at a time on the connection
    Statement find;   // kept prepared: looked up once per input
};

void StoreConnectionCloser::operator()(StoreConnection* connection) const {
    if (!connection) return;
    connection->find.reset();
    sqlite3_close_v2(connection->database);
    delete connection;
}

bool resultsStoreAvailable() { return true; }

namespace {

StoreFailure failureOf(const StoreConnection& connection) {
    return {connection.file + ": the results store could not be used: " + sqlite3_errmsg(connection.database)};
}

// The failure, noting whether it came from another connection holding the database.
StoreFailure busyOr(const StoreConnection& connection, bool& busy) {
    const int code = sqlite3_errcode(connection.database);
    busy = code == SQLITE_BUSY || code == SQLITE_LOCKED;
    return failureOf(connection);
}

Statement prepare(StoreConnection& connection, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(connection.database, sql, -1, &statement, nullptr) != SQLITE_OK) return Statement{};
    return Statement{statement};
}

bool execute(StoreConnection& connection, const char* sql) {
    return sqlite3_exec(connection.database, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::optional<std::int64_t> integerOf(StoreConnection& connection, const char* sql) {
    const Statement statement = prepare(connection, sql);
    if (!statement || sqlite3_step(statement.get()) != SQLITE_ROW) return std::nullopt;
    return sqlite3_column_int64(statement.get(), 0);
}

void bindText(sqlite3_stmt* statement, int index, const std::string& text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void bindOptional(sqlite3_stmt* statement, int index, const std::optional<double>& value) {
    if (value) sqlite3_bind_double(statement, index, *value);
    else sqlite3_bind_null(statement, index);
}

void bindKey(sqlite3_stmt* statement, const TrackKey& key) {
    bindText(statement, 1, key.path);
    sqlite3_bind_int64(statement, 2, static_cast<sqlite3_int64>(key.stamp.size));
    sqlite3_bind_int64(statement, 3, key.stamp.modifiedNs);
    sqlite3_bind_int64(statement, 4, static_cast<sqlite3_int64>(key.stamp.identity.volume));
    sqlite3_bind_int64(statement, 5, static_cast<sqlite3_int64>(key.stamp.identity.index));
    sqlite3_bind_int(statement, 6, key.loudness ? 1 : 0);
    sqlite3_bind_int(statement, 7, analysis::kTrackResultVersion);
}

std::string utcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    std::array<char, 32> text{};
    std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text.data();
}

std::string histogramsJson(const analysis::TrackResult& result) {
    const std::vector<std::string> names =
        stream::channelNames(static_cast<int>(result.levels.histograms.size()), result.format.channelMask);
    std::string json = "{";
    for (std::size_t channel = 0; channel < result.levels.histograms.size(); ++channel) {
        json += (channel == 0 ? "" : ", ") + writers::jsonString(channel < names.size() ? names[channel] : "") + ": [";
        const auto& bins = result.levels.histograms[channel].bins;
        for (std::size_t level = 0; level < bins.size(); ++level)
            json += (level == 0 ? "" : ", ") + std::to_string(bins[level]);
        json += "]";
    }
    return json + "}";
}

// Runs `work` inside a write transaction, undone where it fails.
template <typename Work>
std::optional<StoreFailure> inTransaction(StoreConnection& connection, Work&& work) {
    if (!execute(connection, "BEGIN IMMEDIATE")) return failureOf(connection);
    if (!work() || !execute(connection, "COMMIT")) {
        StoreFailure failure = failureOf(connection);
        execute(connection, "ROLLBACK");
        return failure;
    }
    return std::nullopt;
}

// Whether the file may be handed to SQLite: missing, empty, or an SQLite database.
std::optional<StoreFailure> refuseForeignFile(const std::string& file) {
    std::FILE* stream = std::fopen(file.c_str(), "rb");
    if (!stream) return std::nullopt;  // missing: made; a file that cannot be read fails on opening
    std::array<char, 16> head{};
    const std::size_t got = std::fread(head.data(), 1, head.size(), stream);
    const bool error = std::ferror(stream) != 0;
    std::fclose(stream);
    if (error) return StoreFailure{file + ": cannot be read as a results store (is it a folder?)"};
    if (got == 0) return std::nullopt;
    if (got < head.size() || std::string_view(head.data(), head.size()) != std::string_view("SQLite format 3\0", 16))
        return StoreFailure{file + " is not a results store of this tool (not an SQLite database); it is left as it is"};
    return std::nullopt;
}

}  // namespace

namespace {

// One try at opening the store; `busy` tells a failure because another run
// held the database at that moment.
std::variant<ResultsStore, StoreFailure> tryOpening(const std::string& file, bool& busy) {
    ResultsStore store{.connection = std::unique_ptr<StoreConnection, StoreConnectionCloser>(new StoreConnection)};
    StoreConnection& connection = *store.connection;
    connection.file = file;
    if (sqlite3_open_v2(file.c_str(), &connection.database,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
        return busyOr(connection, busy);
    sqlite3_busy_timeout(connection.database, kBusyTimeoutMs);
    // What the file is, before anything is written to it: read in one
    // transaction, so that a store another run is making is seen whole or not at all.
    const auto readKind = [&](std::optional<std::int64_t>& application, std::optional<std::int64_t>& tables,
                              std::optional<std::int64_t>& version) {
        application = integerOf(connection, "PRAGMA application_id");
        tables = integerOf(connection, "SELECT count(*) FROM sqlite_master");
        version = integerOf(connection, "PRAGMA user_version");
        return application && tables && version;
    };
    std::optional<std::int64_t> application, tables, version;
    if (!execute(connection, "BEGIN") || !readKind(application, tables, version) || !execute(connection, "COMMIT"))
        return busyOr(connection, busy);
    const auto refusal = [&]() -> std::optional<StoreFailure> {
        if (*application != kApplicationId && !(*application == 0 && *tables == 0))
            return StoreFailure{file + " is an SQLite database but not a results store of this tool; it is left as it is"};
        if (*application == kApplicationId && *version > kSchemaVersion)
            return StoreFailure{file + " is a results store of a newer version of this tool; it is left as it is"};
        return std::nullopt;
    };
    if (const auto refused = refusal()) return *refused;
    if (*application != kApplicationId) {
        // Made inside a transaction that looks again: another run may be making it too.
        std::optional<StoreFailure> refusedLater;
        const auto made = inTransaction(connection, [&] {
            if (!readKind(application, tables, version)) return false;
            if ((refusedLater = refusal())) return true;
            if (*application == kApplicationId) return true;
            return execute(connection, kSchema) &&
                   execute(connection, ("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str()) &&
                   execute(connection, ("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
        });
        if (made) {
            busy = busy || sqlite3_errcode(connection.database) == SQLITE_BUSY || made->message.ends_with("database is locked");
            return *made;
        }
        if (refusedLater) return *refusedLater;
    }
    if (!execute(connection, "PRAGMA journal_mode=WAL") || !execute(connection, "PRAGMA synchronous=NORMAL"))
        return busyOr(connection, busy);
    connection.find = prepare(connection,
                              "SELECT record, codec FROM tracks WHERE path = ?1 AND size_bytes = ?2 AND modified_ns = ?3"
                              " AND device = ?4 AND inode = ?5 AND loudness_measured = ?6 AND record_version = ?7");
    if (!connection.find) return busyOr(connection, busy);
    return store;
}

}  // namespace

std::variant<ResultsStore, StoreFailure> openResultsStore(const std::string& file) {
    if (const auto refusal = refuseForeignFile(file)) return *refusal;
    // Switching a new store to its write-ahead log needs the database to
    // itself for a moment, which SQLite does not wait for: another run making
    // or opening the same store at once is waited for here instead.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    while (true) {
        bool busy = false;
        auto opened = tryOpening(file, busy);
        if (!busy || std::chrono::steady_clock::now() > giveUp) return opened;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

namespace {

// Steps the lookup for the key; the caller holds the lock and resets it.
bool lookUp(StoreConnection& connection, const TrackKey& key) {
    sqlite3_stmt* find = connection.find.get();
    sqlite3_reset(find);
    sqlite3_clear_bindings(find);
    bindKey(find, key);
    return sqlite3_step(find) == SQLITE_ROW;
}

}  // namespace

std::optional<analysis::TrackResult> findTrack(ResultsStore& store, const TrackKey& key) {
    StoreConnection& connection = *store.connection;
    const std::scoped_lock locked(connection.lock);
    std::optional<analysis::TrackResult> result;
    if (lookUp(connection, key)) {
        const auto* data = static_cast<const std::byte*>(sqlite3_column_blob(connection.find.get(), 0));
        const auto size = static_cast<std::size_t>(sqlite3_column_bytes(connection.find.get(), 0));
        if (data) result = decodeTrackResult(std::span(data, size));
    }
    sqlite3_reset(connection.find.get());
    return result;
}

bool holdsTrack(ResultsStore& store, const TrackKey& key) { return storedTrackDecoded(store, key).has_value(); }

std::optional<bool> storedTrackDecoded(ResultsStore& store, const TrackKey& key) {
    StoreConnection& connection = *store.connection;
    const std::scoped_lock locked(connection.lock);
    std::optional<bool> decoded;
    if (lookUp(connection, key)) {
        const auto* codec = sqlite3_column_text(connection.find.get(), 1);
        decoded = codec && std::string_view(reinterpret_cast<const char*>(codec)) != "WAV";
    }
    sqlite3_reset(connection.find.get());
    return decoded;
}

std::optional<StoreFailure> saveTrack(ResultsStore& store, const TrackKey& key, const std::string& folder,
                                      const analysis::TrackResult& result) {
    StoreConnection& connection = *store.connection;
    const std::scoped_lock locked(connection.lock);
    const std::vector<std::byte> record = encodeTrackResult(result);
    const analysis::LevelAnalysis& levels = result.levels;
    return inTransaction(connection, [&] {
        const Statement insert = prepare(
            connection,
            "INSERT OR REPLACE INTO tracks (path, size_bytes, modified_ns, device, inode, loudness_measured,"
            " record_version, folder, name, analysed_at, codec, sample_rate, channels, bits_per_sample, duration_s,"
            " peak_dbfs, dr, loudness_lufs, range_lu, true_peak_dbtp, plr_db, histograms, record)"
            " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21,"
            " ?22, ?23)");
        if (!insert) return false;
        sqlite3_stmt* row = insert.get();
        bindKey(row, key);
        bindText(row, 8, folder);
        bindText(row, 9, key.path.substr(platform::fileNameStart(key.path)));
        bindText(row, 10, utcNow());
        bindText(row, 11, result.format.codecName.empty() ? std::string("WAV") : result.format.codecName);
        sqlite3_bind_int(row, 12, result.format.sampleRate);
        sqlite3_bind_int(row, 13, result.format.channels);
        sqlite3_bind_int(row, 14, result.format.bitsPerSample);
        sqlite3_bind_double(row, 15, stream::durationSeconds(result.format));
        bindOptional(row, 16, measure::peakDbfs(levels.dynamics.peak));
        if (levels.dynamics.dr) sqlite3_bind_int(row, 17, *levels.dynamics.dr);
        else sqlite3_bind_null(row, 17);
        const std::optional<measure::Loudness>& loudness = levels.loudness;
        bindOptional(row, 18, loudness ? loudness->integratedLufs : std::nullopt);
        bindOptional(row, 19, loudness ? loudness->rangeLu : std::nullopt);
        bindOptional(row, 20, loudness ? loudness->truePeakDbtp : std::nullopt);
        bindOptional(row, 21, loudness ? loudness->plrDb : std::nullopt);
        bindText(row, 22, histogramsJson(result));
        sqlite3_bind_blob(row, 23, record.data(), static_cast<int>(record.size()), SQLITE_STATIC);
        return sqlite3_step(row) == SQLITE_DONE;
    });
}

std::optional<StoreFailure> saveAlbum(ResultsStore& store, const std::string& folder,
                                      const writers::AlbumSummary& album) {
    StoreConnection& connection = *store.connection;
    const std::scoped_lock locked(connection.lock);
    return inTransaction(connection, [&] {
        const Statement insert = prepare(
            connection,
            "INSERT OR REPLACE INTO albums (folder, tracks, duration_s, peak_dbfs, dr, loudness_lufs, range_lu,"
            " true_peak_dbtp, plr_db, updated_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
        if (!insert) return false;
        sqlite3_stmt* row = insert.get();
        bindText(row, 1, folder);
        sqlite3_bind_int64(row, 2, static_cast<sqlite3_int64>(album.tracks));
        sqlite3_bind_double(row, 3, album.durationSeconds);
        bindOptional(row, 4, measure::peakDbfs(album.peak));
        if (album.dr) sqlite3_bind_int(row, 5, *album.dr);
        else sqlite3_bind_null(row, 5);
        const std::optional<double> integrated = album.loudness ? album.loudness->integratedLufs : std::nullopt;
        bindOptional(row, 6, integrated);
        bindOptional(row, 7, album.loudness ? album.loudness->rangeLu : std::nullopt);
        bindOptional(row, 8, album.truePeakDbtp);
        bindOptional(row, 9, integrated && album.truePeakDbtp ? std::optional(*album.truePeakDbtp - *integrated)
                                                               : std::nullopt);
        bindText(row, 10, utcNow());
        return sqlite3_step(row) == SQLITE_DONE;
    });
}

std::variant<std::vector<std::string>, StoreFailure> storedPaths(ResultsStore& store, const std::string& folder,
                                                                 bool below) {
    StoreConnection& connection = *store.connection;
    const std::scoped_lock locked(connection.lock);
    // By the folder's own bytes, not LIKE: names may hold % and _.
    const Statement select = prepare(
        connection, below ? "SELECT path FROM tracks WHERE folder = ?1 OR substr(folder, 1, length(?2)) = ?2 ORDER BY path"
                          : "SELECT path FROM tracks WHERE folder = ?1 ORDER BY path");
    if (!select) return failureOf(connection);
    bindText(select.get(), 1, folder);
    if (below) bindText(select.get(), 2, folder.ends_with('/') ? folder : folder + "/");
    std::vector<std::string> paths;
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(select.get())) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 0));
        paths.emplace_back(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(select.get(), 0)));
    }
    if (step != SQLITE_DONE) return failureOf(connection);
    return paths;
}

std::variant<std::size_t, StoreFailure> removeTracks(ResultsStore& store, std::span<const std::string> paths) {
    StoreConnection& connection = *store.connection;
    const std::scoped_lock locked(connection.lock);
    std::size_t removed = 0;
    const auto failure = inTransaction(connection, [&] {
        const Statement remove = prepare(connection, "DELETE FROM tracks WHERE path = ?1");
        if (!remove) return false;
        for (const std::string& path : paths) {
            sqlite3_reset(remove.get());
            bindText(remove.get(), 1, path);
            if (sqlite3_step(remove.get()) != SQLITE_DONE) return false;
            removed += static_cast<std::size_t>(sqlite3_changes(connection.database));
        }
        return execute(connection, "DELETE FROM albums WHERE folder NOT IN (SELECT folder FROM tracks)");
    });
    if (failure) return *failure;
    return removed;
}

}  // namespace vantorel::store
