#include "platform/stop_signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace vantorel::platform {

namespace {

constexpr std::array<int, 4> kStopSignals = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

// Sent by the watch to its own waiting thread, to end the wait when the batch
// is over. Held like the stop signals, so an outside one only wakes the wait.
constexpr int kWakeSignal = SIGUSR2;

bool ignored(int signal) {
    struct sigaction current {};
    return ::sigaction(signal, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
           current.sa_handler == SIG_IGN;
}

// Ends the process by the signal as if it had never been held: its default
// action back, sent to this thread and let through here.
[[noreturn]] void endBySignal(int signal) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    ::pthread_kill(::pthread_self(), signal);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::_exit(128 + signal);  // only if the default action did not end it
}

}  // namespace

struct StopSignalWatch::State {
    sigset_t waited{};        // the stop signals not ignored, and the wake signal
    sigset_t previousMask{};  // of the thread that made the watch
    std::atomic<int> stopSignal{0};
    std::mutex mutex;
    std::condition_variable writeEnded;
    int writesUnderWay = 0;  // guarded by mutex
    bool over = false;       // guarded by mutex: the batch is over
    std::thread waiter;

    // The one place that meets a stop signal: no write may begin any more,
    // and once none is under way the process ends by the signal, holding the
    // mutex so that none begins meanwhile.
    void waitForStopSignal() {
        for (;;) {
            int signal = 0;
            if (::sigwait(&waited, &signal) != 0) continue;
            std::unique_lock lock(mutex);
            if (signal == kWakeSignal) {
                if (over) return;
                continue;
            }
            stopSignal = signal;
            writeEnded.wait(lock, [&] { return writesUnderWay == 0; });
            endBySignal(signal);
        }
    }
};

StopSignalWatch::StopSignalWatch() : state_(std::make_unique<State>()) {
    State& state = *state_;
    sigemptyset(&state.waited);
    for (const int signal : kStopSignals)
        if (!ignored(signal)) sigaddset(&state.waited, signal);
    sigaddset(&state.waited, kWakeSignal);
    ::pthread_sigmask(SIG_BLOCK, &state.waited, &state.previousMask);
    try {
        state.waiter = std::thread([&state] { state.waitForStopSignal(); });
    } catch (const std::system_error&) {
        ::pthread_sigmask(SIG_SETMASK, &state.previousMask, nullptr);  // nobody would meet them
    }
}

StopSignalWatch::~StopSignalWatch() {
    State& state = *state_;
    if (!state.waiter.joinable()) return;
    {
        const std::lock_guard lock(state.mutex);
        state.over = true;
    }
    ::pthread_kill(state.waiter.native_handle(), kWakeSignal);
    state.waiter.join();
    ::pthread_sigmask(SIG_SETMASK, &state.previousMask, nullptr);
}

bool StopSignalWatch::stopRequested() const { return state_->stopSignal != 0; }

bool StopSignalWatch::beginWrite() {
    const std::lock_guard lock(state_->mutex);
    if (state_->stopSignal != 0) return false;
    ++state_->writesUnderWay;
    return true;
}

void StopSignalWatch::endWrite() {
    const std::lock_guard lock(state_->mutex);
    --state_->writesUnderWay;
    state_->writeEnded.notify_all();
}

void ignoreClosedPipes() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace vantorel::platform
