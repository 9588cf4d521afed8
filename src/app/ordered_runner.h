#pragma once
// Jobs on several threads, their outcomes taken in the order of the jobs: what
// a batch prints keeps the order of its arguments however the jobs overlap.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace vantorel::app {

// Runs job(0) .. job(count - 1) on up to `threads` worker threads (on the
// calling thread when none can be started), and hands each outcome to
// `deliver` on the calling thread, in index order, as soon as it and those
// before it are done; while it waits for one, `waiting(index)` is called about
// every `tick`. A worker starts no further job once `stop()` is true; delivery
// ends when `deliver` gives false. Returns once every worker has ended.
template <class Outcome>
void runInOrder(std::size_t count, std::size_t threads, const std::function<Outcome(std::size_t)>& job,
                const std::function<bool()>& stop, const std::function<void(std::size_t)>& waiting,
                const std::function<bool(std::size_t, Outcome&)>& deliver,
                std::chrono::milliseconds tick = std::chrono::milliseconds(250)) {
    // Each outcome waits in its slot until the ones before it are delivered; a
    // job that a stop kept from starting leaves its slot marked as skipped.
    std::vector<std::optional<Outcome>> outcomes(count);
    std::vector<char> skipped(count, 0);
    std::mutex mutex;
    std::condition_variable finished;
    std::size_t nextJob = 0;  // under `mutex`
    const auto work = [&] {
        while (true) {
            std::size_t index = 0;
            {
                const std::lock_guard lock(mutex);
                if (nextJob >= count) return;
                index = nextJob++;
            }
            if (stop()) {
                const std::lock_guard lock(mutex);
                skipped[index] = 1;
                finished.notify_all();
                return;
            }
            Outcome outcome = job(index);
            const std::lock_guard lock(mutex);
            outcomes[index] = std::move(outcome);
            finished.notify_all();
        }
    };
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < std::min(count, threads); ++i) {
        try {
            workers.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // as many workers as the system gives
        }
    }
    if (workers.empty()) work();  // no thread at all: every job on this one

    for (std::size_t index = 0; index < count; ++index) {
        std::unique_lock lock(mutex);
        const auto settled = [&] { return outcomes[index].has_value() || skipped[index] != 0; };
        while (!finished.wait_for(lock, tick, settled)) {
            lock.unlock();
            waiting(index);
            lock.lock();
        }
        if (!outcomes[index]) break;  // skipped: the run is stopping
        Outcome outcome = std::move(*outcomes[index]);
        outcomes[index].reset();
        lock.unlock();
        if (!deliver(index, outcome)) break;
    }
    for (std::thread& worker : workers) worker.join();
}

}  // namespace vantorel::app
