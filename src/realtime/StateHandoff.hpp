#pragma once

#include <atomic>
#include <memory>

// Moves rebuilt processing state (delay lines, filter lists) between the control side and the audio
// side without a lock and without the audio side ever freeing memory:
// - the control side builds a state and publishes it; a published state the audio side never took
//   is freed by the next publish;
// - the audio side adopts the published state at the start of a block and retires the one it was
//   using; it may also install a state it built itself (a format change seen in processing);
// - retired states wait on a lock-free list until the control side reclaims them (on its next
//   change, or when the owner is destroyed, which happens on a control thread).
// T needs a member `T* nextRetired`. Audio-side calls must be serialised by the owner (one audio
// thread, or the effect's processing guard).
template <typename T>
class StateHandoff {
public:
    StateHandoff() = default;
    StateHandoff(const StateHandoff&) = delete;
    StateHandoff& operator=(const StateHandoff&) = delete;

    ~StateHandoff() {
        reclaim();
        delete pending_.load(std::memory_order_acquire);
        delete active_;
    }

    // Control side.
    void publish(std::unique_ptr<T> next) {
        reclaim();
        delete pending_.exchange(next.release(), std::memory_order_acq_rel);
    }

    void reclaim() {
        T* node = retired_.exchange(nullptr, std::memory_order_acquire);
        while (node) {
            T* next = node->nextRetired;
            delete node;
            node = next;
        }
    }

    // A published state not yet adopted. Only meaningful while the audio side is held off.
    T* peekPending() const noexcept { return pending_.load(std::memory_order_acquire); }

    // Audio side (or any side while no block can run, e.g. during construction).
    T* active() const noexcept { return active_; }

    T* takePending() noexcept { return pending_.exchange(nullptr, std::memory_order_acq_rel); }

    void install(T* next) noexcept {
        retire(active_);
        active_ = next;
    }

    void retire(T* old) noexcept {
        if (!old) return;
        old->nextRetired = retired_.load(std::memory_order_relaxed);
        while (!retired_.compare_exchange_weak(old->nextRetired, old, std::memory_order_release,
                                               std::memory_order_relaxed)) {
        }
    }

private:
    std::atomic<T*> pending_{nullptr};
    std::atomic<T*> retired_{nullptr};
    T* active_ = nullptr;
};
