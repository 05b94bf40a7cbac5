#include "dataset/owned_arrays.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace kz {
namespace {

template <class Memory>
struct NodePrivate {
    std::shared_ptr<Memory> memory;
    std::array<const void*, 3> buffers{};
    Vec<ArrowArray> children;
    Vec<ArrowArray*> child_pointers;
    ArrowArray dictionary{};
};

template <class Node>
void release_node(ArrowArray* array) {
    auto* node = static_cast<Node*>(array->private_data);
    // A consumer may have moved a child out: its release is then null here.
    for (ArrowArray& child : node->children) {
        if (child.release != nullptr) child.release(&child);
    }
    if (node->dictionary.release != nullptr) node->dictionary.release(&node->dictionary);
    node->~Node();
    free_bytes(node);
    array->release = nullptr;
}

}  // namespace

OwnedArray& OwnedArray::operator=(OwnedArray&& other) noexcept {
    if (this != &other) {
        reset();
        array_ = other.array_;
        other.array_.release = nullptr;
    }
    return *this;
}

ArrowArray OwnedArray::take() noexcept {
    ArrowArray out = array_;
    array_.release = nullptr;
    return out;
}

void OwnedArray::reset() noexcept {
    if (array_.release != nullptr) array_.release(&array_);
    array_.release = nullptr;
}

BatchArrays::BatchArrays() : memory_(std::allocate_shared<Memory>(Allocator<Memory>{})) {}

void* BatchArrays::allocate(std::size_t bytes) {
    // Arrow wants a buffer even for no values (the one offset of empty text);
    // 8 bytes more keep a bitmap's last byte and a zero offset in bounds.
    memory_->buffers.emplace_back(bytes + 8);
    return memory_->buffers.back().data();
}

std::uint8_t* BatchArrays::bits(std::size_t count, bool value) {
    auto* out = values<std::uint8_t>((count + 7) / 8);
    std::memset(out, value ? 0xff : 0, (count + 7) / 8);
    return out;
}

void BatchArrays::keep(const SharedFrameColumns& columns) {
    if (std::find(memory_->columns.begin(), memory_->columns.end(), columns) == memory_->columns.end()) {
        memory_->columns.push_back(columns);
    }
}

OwnedArray BatchArrays::array(std::size_t length, std::size_t null_count, std::initializer_list<const void*> buffers,
                              Vec<OwnedArray> children, OwnedArray dictionary) {
    using Node = NodePrivate<Memory>;
    auto* node = ::new (allocate_bytes(sizeof(Node))) Node{};
    try {
        node->memory = memory_;
        node->children.reserve(children.size());
        node->child_pointers.reserve(children.size());
    } catch (...) {
        node->~Node();
        free_bytes(node);
        throw;
    }
    std::copy(buffers.begin(), buffers.end(), node->buffers.begin());
    for (OwnedArray& child : children) node->children.push_back(child.take());
    for (ArrowArray& child : node->children) node->child_pointers.push_back(&child);
    node->dictionary = dictionary.take();

    ArrowArray out{};
    out.length = static_cast<std::int64_t>(length);
    out.null_count = static_cast<std::int64_t>(null_count);
    out.n_buffers = static_cast<std::int64_t>(buffers.size());
    out.buffers = node->buffers.data();
    out.n_children = static_cast<std::int64_t>(node->children.size());
    out.children = node->child_pointers.empty() ? nullptr : node->child_pointers.data();
    out.dictionary = node->dictionary.release != nullptr ? &node->dictionary : nullptr;
    out.release = &release_node<Node>;
    out.private_data = node;
    return OwnedArray(out);
}

const void* BatchArrays::zeros(std::size_t bytes) {
    // One block for the process, replaced by a larger one when a batch needs
    // more; batches that hold the smaller one keep it alive. Up to 16 MiB:
    // a longer play's batch gets a block of its own, gone with the batch.
    constexpr std::size_t kSharedZeroBytes = std::size_t{16} << 20;
    static std::mutex mutex;
    static std::shared_ptr<const ColumnBuffer> shared;
    if (bytes > kSharedZeroBytes) {
        if (memory_->zeros == nullptr || memory_->zeros->size() < bytes) {
            ColumnBuffer block(bytes);
            std::memset(block.data(), 0, block.size());
            memory_->zeros = std::allocate_shared<const ColumnBuffer>(Allocator<ColumnBuffer>{}, std::move(block));
        }
        return memory_->zeros->data();
    }
    if (memory_->zeros == nullptr || memory_->zeros->size() < bytes) {
        const std::lock_guard lock(mutex);
        if (shared == nullptr || shared->size() < bytes) {
            ColumnBuffer block(std::min(
                kSharedZeroBytes, std::max(bytes, shared == nullptr ? std::size_t{1} << 16 : 2 * shared->size())));
            std::memset(block.data(), 0, block.size());
            shared = std::allocate_shared<const ColumnBuffer>(Allocator<ColumnBuffer>{}, std::move(block));
        }
        memory_->zeros = shared;
    }
    return memory_->zeros->data();
}

OwnedArray BatchArrays::nulls(std::size_t length) {
    const void* zero = zeros(length * 8 + 8);  // the widest values, 8 bytes
    return array(length, length, {zero, zero});
}

OwnedArray BatchArrays::null_text(std::size_t length) {
    const void* zero = zeros(length * 4 + 8);  // offsets all 0: every value empty
    return array(length, length, {zero, zero, zero});
}

}  // namespace kz
