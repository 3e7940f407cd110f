#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace qzb {

// A bounded ring of work that one thread, the writer, plans in order; workers take each planned
// item and execute it in any order, and the writer takes the items back strictly in order once
// they are ready. Only the writer plans, takes back and releases; workers only execute.
template <typename Item> class PlannedRing {
public:
    // `size` items; throws std::bad_alloc where memory runs short.
    void resize(std::size_t size) { entries_.resize(size); }
    // No items, their memory given back.
    void discard() { std::vector<Entry>().swap(entries_); }
    std::size_t size() const { return entries_.size(); }
    // The items, for the writer to set up or clear while no worker runs.
    template <typename Visit> void forEach(const Visit& visit) {
        for (Entry& entry : entries_) {
            visit(entry.item);
        }
    }

    // Plans with `plan` into every free item while `more()`, and hands them to the workers.
    template <typename More, typename Plan> void planAhead(const More& more, const Plan& plan) {
        std::uint64_t planned = plannedAhead_;
        while (planned < released_ + entries_.size() && more()) {
            Entry& entry = entries_[planned % entries_.size()];
            entry.ready = false;
            plan(entry.item);
            ++planned;
        }
        if (planned == plannedAhead_) {
            return;
        }
        plannedAhead_ = planned;
        {
            const std::lock_guard lock(mutex_);
            planned_ = planned;
        }
        plannedChanged_.notify_all();
    }

    // The oldest item planned and not released, whether ready or not; null when there is none.
    Item* oldest() {
        return released_ == plannedAhead_ ? nullptr : &entries_[released_ % entries_.size()].item;
    }
    // The oldest item, once a worker has executed it; null when none is planned.
    Item* takeReady() {
        if (released_ == plannedAhead_) {
            return nullptr;
        }
        Entry& entry = entries_[released_ % entries_.size()];
        std::unique_lock lock(mutex_);
        readyChanged_.wait(lock, [&] { return entry.ready; });
        return &entry.item;
    }
    // The writer is done with the oldest item: it may be planned again.
    void release() { ++released_; }

    // A worker's loop: executes planned items with `execute` until stop().
    template <typename Execute> void work(const Execute& execute) {
        std::unique_lock lock(mutex_);
        while (true) {
            plannedChanged_.wait(lock, [this] { return stopping_ || taken_ < planned_; });
            if (stopping_) {
                return;
            }
            Entry& entry = entries_[taken_++ % entries_.size()];
            lock.unlock();
            execute(entry.item);
            lock.lock();
            entry.ready = true;
            readyChanged_.notify_one();
        }
    }
    // Workers return from work() after their current item.
    void stop() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        plannedChanged_.notify_all();
    }

private:
    struct Entry {
        Item item;
        bool ready = false;
    };
    std::vector<Entry> entries_;

    std::mutex mutex_;
    std::condition_variable readyChanged_;   // the writer waits for its item
    std::condition_variable plannedChanged_; // workers wait for a planned item
    std::uint64_t planned_ = 0;              // items handed to the workers
    std::uint64_t taken_ = 0;                // items a worker has taken
    bool stopping_ = false;

    // The writer's own, touched by no worker.
    std::uint64_t plannedAhead_ = 0; // items planned: the writer's copy of planned_
    std::uint64_t released_ = 0;     // items the writer is done with
};

} // namespace qzb
