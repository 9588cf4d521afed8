#pragma once
// Stopping a batch in an orderly way. The signals that ask the tool to end
// (SIGTERM, SIGINT, SIGHUP and SIGQUIT) are held in every thread of the batch
// and met in one place: from then on no job starts and no result is written,
// the writes under way finish (or are undone) so that no temporary and no half
// set of results is left, and the process ends by that signal, so its status
// is 128 + the signal's number.
// On Windows nothing is held: Ctrl+C ends the process as before.

#include <memory>
#include <utility>

namespace vantorel::platform {

class StopSignalWatch {
public:
    // Holds the stop signals in this thread, and so in every thread it starts
    // from now on, and starts the thread that waits for them. Make it before
    // any worker thread. Signals ignored at that moment (nohup's SIGHUP, a
    // background job's SIGINT) stay ignored. Where no thread can be started,
    // nothing is held.
    StopSignalWatch();
    // Stops the waiting thread and gives this thread its signal mask back; a
    // stop signal that came meanwhile then takes effect at once. Destroy it on
    // the thread that made it, after the worker threads have ended.
    ~StopSignalWatch();
    StopSignalWatch(const StopSignalWatch&) = delete;
    StopSignalWatch& operator=(const StopSignalWatch&) = delete;

    // True once a stop signal has come: start no further job.
    bool stopRequested() const;

    // Runs `write` unless a stop signal has come; a stop signal that comes
    // while it runs waits until it has returned. Gives false when it did not run.
    template <typename Write>
    bool writeUnlessStopped(Write&& write) {
        if (!beginWrite()) return false;
        const WriteEnd end{*this};
        std::forward<Write>(write)();
        return true;
    }

private:
    struct WriteEnd {
        StopSignalWatch& watch;
        ~WriteEnd() { watch.endWrite(); }
    };
    bool beginWrite();
    void endWrite();

    struct State;
    std::unique_ptr<State> state_;
};

// Makes writing to a closed pipe or socket an error of that write (EPIPE)
// rather than a signal that ends the process; for the rest of the process, so
// that output still buffered when it ends cannot end it by SIGPIPE either.
// Nothing to do on Windows.
void ignoreClosedPipes();

}  // namespace vantorel::platform
