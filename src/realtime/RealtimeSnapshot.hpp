#pragma once

// Hands immutable values (a routing list, an effect chain) from the control side to audio threads
// without locks, allocation or frees on the audio side.
//
// The control side publishes a new value with publish(); the old one goes to a graveyard that only
// the control side empties. An audio thread reads through a HazardSlot of its own, holding a
// SnapshotReader for the period: it marks the value in use and clears the mark when it goes. A retired value
// is freed (on the control side) once no registered slot marks it, so destructors (which may log)
// never run on an audio thread.

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

class HazardSlot {
public:
    std::atomic<const void*> marked{nullptr};
};

template <class T>
class RealtimeSnapshot {
public:
    explicit RealtimeSnapshot(T initial = T()) : current_(new T(std::move(initial))) {}

    ~RealtimeSnapshot() {
        delete current_.load();
        for (const T* retired : graveyard_) delete retired;
    }

    RealtimeSnapshot(const RealtimeSnapshot&) = delete;
    RealtimeSnapshot& operator=(const RealtimeSnapshot&) = delete;

    // Audio side, through SnapshotReader. Returns the current value and keeps it alive until
    // release(slot).
    const T& acquire(HazardSlot& slot) const noexcept {
        const T* value = current_.load(std::memory_order_seq_cst);
        for (;;) {
            slot.marked.store(value, std::memory_order_seq_cst);
            const T* again = current_.load(std::memory_order_seq_cst);
            if (again == value) return *value;
            value = again;
        }
    }

    static void release(HazardSlot& slot) noexcept { slot.marked.store(nullptr, std::memory_order_release); }

    // Control side: readers that may acquire() must have their slot registered here first.
    void addReader(HazardSlot* slot) {
        std::lock_guard<std::mutex> guard(controlMutex_);
        readers_.push_back(slot);
    }

    // The slot's reader must have stopped reading (its stream is closed) before it is removed.
    void removeReader(HazardSlot* slot) {
        std::lock_guard<std::mutex> guard(controlMutex_);
        readers_.erase(std::remove(readers_.begin(), readers_.end(), slot), readers_.end());
        reclaimLocked();
    }

    void publish(T value) {
        std::lock_guard<std::mutex> guard(controlMutex_);
        const T* old = current_.exchange(new T(std::move(value)), std::memory_order_seq_cst);
        graveyard_.push_back(old);
        reclaimLocked();
    }

private:
    // Frees the retired values that no reader marks any more.
    void reclaimLocked() {
        std::erase_if(graveyard_, [this](const T* retired) {
            for (const HazardSlot* slot : readers_)
                if (slot->marked.load(std::memory_order_seq_cst) == retired) return false;
            delete retired;
            return true;
        });
    }

    std::atomic<const T*> current_;
    std::mutex controlMutex_;
    std::vector<HazardSlot*> readers_;
    std::vector<const T*> graveyard_;
};

// Reads a snapshot for one scope from an audio thread: the value stays alive until the reader goes,
// so no acquire can be left without its release.
template <class T>
class SnapshotReader {
public:
    SnapshotReader(const RealtimeSnapshot<T>& snapshot, HazardSlot& slot) noexcept
        : slot_(slot), value_(snapshot.acquire(slot)) {}
    ~SnapshotReader() { RealtimeSnapshot<T>::release(slot_); }
    SnapshotReader(const SnapshotReader&) = delete;
    SnapshotReader& operator=(const SnapshotReader&) = delete;

    const T& operator*() const noexcept { return value_; }
    const T* operator->() const noexcept { return &value_; }

private:
    HazardSlot& slot_;
    const T& value_;
};
