// A frame list with value semantics whose copies share one storage: reading a
// replay's frame container copies a handle, not the frames. A copy gets its
// own frames only when it is changed through edit().
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

#include "common/memory.hpp"

namespace kz {

template <class Frame>
class SharedFrames {
public:
    using value_type = Frame;
    using const_iterator = typename Vec<Frame>::const_iterator;

    SharedFrames() noexcept = default;
    // Takes the frames over without copying them.
    SharedFrames(Vec<Frame> frames)  // NOLINT: a list converts implicitly, like the Vec it replaces
        : frames_(std::allocate_shared<Vec<Frame>>(Allocator<Vec<Frame>>{}, std::move(frames))) {}

    const Vec<Frame>& frames() const noexcept { return frames_ ? *frames_ : no_frames(); }
    std::size_t size() const noexcept { return frames().size(); }
    bool empty() const noexcept { return size() == 0; }
    const Frame* data() const noexcept { return frames().data(); }
    const_iterator begin() const noexcept { return frames().begin(); }
    const_iterator end() const noexcept { return frames().end(); }
    const Frame& operator[](std::size_t i) const noexcept { return frames()[i]; }
    const Frame& front() const noexcept { return frames().front(); }
    const Frame& back() const noexcept { return frames().back(); }

    // The frames of this handle alone, copied first when another handle
    // shares them, so a change never shows through another copy.
    Vec<Frame>& edit() {
        if (!frames_) {
            frames_ = std::allocate_shared<Vec<Frame>>(Allocator<Vec<Frame>>{});
        } else if (frames_.use_count() > 1) {
            frames_ = std::allocate_shared<Vec<Frame>>(Allocator<Vec<Frame>>{}, *frames_);
        }
        return *frames_;
    }

    // Whether both handles read the same storage (an empty list shares nothing).
    bool shares_storage_with(const SharedFrames& other) const noexcept {
        return frames_ != nullptr && frames_ == other.frames_;
    }

    friend bool operator==(const SharedFrames& a, const SharedFrames& b) { return a.frames() == b.frames(); }

private:
    static const Vec<Frame>& no_frames() noexcept {
        static const Vec<Frame> none;
        return none;
    }

    // The storage is never changed while shared: edit() copies it first.
    std::shared_ptr<Vec<Frame>> frames_;
};

}  // namespace kz
