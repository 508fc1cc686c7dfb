// Work on many threads, results in order: what lets fb2cols read with every core and still print
// the rows exactly as one thread would.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace ordered {

// Runs work(i) for every i below count on `threads` threads, each of which holds a Scope for its
// lifetime (COM for the thread, say), and passes the results to take(i, result) on the calling
// thread in order of i. At most `window` results are computed and not yet taken, so memory stays
// bounded however many items there are. tick() runs on the calling thread after each result and
// about ten times a second while it waits. A failure in work is rethrown here when its turn comes;
// one in take or tick stops the workers and leaves through here too. With one thread, everything
// runs on the calling thread.
template <class Scope, class Result, class Work, class Take, class Tick>
void run(size_t count, unsigned threads, size_t window, Work work, Take take, Tick tick) {
    if (threads <= 1 || count <= 1) {
        for (size_t i = 0; i < count; ++i) {
            Result r = work(i);
            take(i, std::move(r));
            tick();
        }
        return;
    }
    window = std::max<size_t>(window, threads);

    struct Slot {
        std::optional<Result> result;
        std::exception_ptr error;
        bool ready = false;
    };
    std::vector<Slot> ring(window);
    std::mutex lock;
    std::condition_variable room, arrived; // a slot freed for workers; the next result in, for the taker
    size_t claimed = 0, taken = 0;
    bool stop = false;

    auto worker = [&] {
        Scope scope;
        std::unique_lock hold(lock);
        for (;;) {
            room.wait(hold, [&] { return stop || claimed == count || claimed < taken + window; });
            if (stop || claimed == count) return;
            const size_t i = claimed++;
            hold.unlock();
            Slot done;
            try {
                done.result.emplace(work(i));
            } catch (...) {
                done.error = std::current_exception();
            }
            hold.lock();
            Slot &slot = ring[i % window];
            slot.result = std::move(done.result);
            slot.error = done.error;
            slot.ready = true;
            if (i == taken) arrived.notify_one();
        }
    };

    std::vector<std::thread> pool;
    // the workers are told to stop and joined however this ends
    struct Join {
        std::vector<std::thread> &pool;
        std::mutex &lock;
        std::condition_variable &room;
        bool &stop;
        ~Join() {
            {
                std::lock_guard hold(lock);
                stop = true;
            }
            room.notify_all();
            for (std::thread &t : pool) t.join();
        }
    } join{pool, lock, room, stop};
    const unsigned n = static_cast<unsigned>(std::min<size_t>(threads, count));
    for (unsigned t = 0; t < n; ++t) pool.emplace_back(worker);

    std::unique_lock hold(lock);
    while (taken < count) {
        Slot &slot = ring[taken % window];
        if (!slot.ready) {
            arrived.wait_for(hold, std::chrono::milliseconds(100), [&] { return slot.ready; });
            hold.unlock();
            tick();
            hold.lock();
            continue;
        }
        std::optional<Result> result = std::move(slot.result);
        const std::exception_ptr error = slot.error;
        slot.result.reset();
        slot.error = nullptr;
        slot.ready = false;
        const size_t i = taken++;
        hold.unlock();
        room.notify_all();
        if (error) std::rethrow_exception(error);
        take(i, std::move(*result));
        tick();
        hold.lock();
    }
}

} // namespace ordered
