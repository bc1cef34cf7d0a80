// A map from flow identifier to an owning pointer, in one flat array: open addressing, linear
// probing, removal by shifting the following entries back (no tombstones). A null pointer marks a
// free slot, so only non-null values are stored.
//
// The provider's sections use it under the lock. A node-based map relinks nodes and bucket heads
// that other threads wrote last, and every such cache line moves between cores; here an insert or
// a removal touches the map's three words and, nearly always, the one line of its slot. The array
// never grows inside a section: a section that finds it full returns, the caller allocates a
// larger one with the lock released and hands it over in its next section (lockWithRoom).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "host/uuid.h"

namespace quillnest {

template <typename Ptr>
class FlowMap {
 public:
  struct Slot {
    UUID key;
    Ptr value;
  };
  using Slots = std::unique_ptr<Slot[]>;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::size_t capacity() const { return capacity_; }
  // At most half full, which keeps probe runs short.
  bool hasRoomForOneMore() const { return (size_ + 1) * 2 <= capacity_; }
  std::size_t largerCapacity() const { return capacity_ == 0 ? 64 : capacity_ * 2; }
  static Slots allocate(std::size_t capacity) { return Slots(new Slot[capacity]); }

  // Moves every entry into slots (capacity a power of two, large enough); returns the old array,
  // for the caller to free after unlocking.
  Slots adopt(Slots slots, std::size_t capacity) {
    Slots old = std::exchange(slots_, std::move(slots));
    const std::size_t oldCapacity = std::exchange(capacity_, static_cast<std::uint32_t>(capacity));
    for (std::size_t i = 0; i < oldCapacity; ++i) {
      if (old[i].value) slots_[freeSlotFor(old[i].key)] = std::move(old[i]);
    }
    return old;
  }

  Ptr* find(const UUID& key) {
    if (capacity_ == 0) return nullptr;
    for (std::size_t i = home(key);; i = next(i)) {
      if (!slots_[i].value) return nullptr;
      if (slots_[i].key == key) return &slots_[i].value;
    }
  }
  bool contains(const UUID& key) { return find(key) != nullptr; }

  // Stores value (not null) under key and returns what it replaced (null when the key is new).
  // A new key needs hasRoomForOneMore().
  Ptr insert(const UUID& key, Ptr value) {
    if (Ptr* held = find(key)) return std::exchange(*held, std::move(value));
    const std::size_t i = freeSlotFor(key);
    slots_[i].key = key;
    slots_[i].value = std::move(value);
    ++size_;
    return Ptr();
  }

  // Removes key's entry and returns its value (null when there was none).
  Ptr extract(const UUID& key) {
    if (capacity_ == 0) return Ptr();
    std::size_t hole = home(key);
    while (slots_[hole].value && !(slots_[hole].key == key)) hole = next(hole);
    if (!slots_[hole].value) return Ptr();
    Ptr removed = std::move(slots_[hole].value);
    slots_[hole].value = Ptr();
    --size_;
    // Later entries of the run move back into the hole unless their home lies after it.
    for (std::size_t j = next(hole); slots_[j].value; j = next(j)) {
      const std::size_t want = home(slots_[j].key);
      const bool stays = hole <= j ? (hole < want && want <= j) : (hole < want || want <= j);
      if (stays) continue;
      slots_[hole] = std::move(slots_[j]);
      slots_[j].value = Ptr();
      hole = j;
    }
    return removed;
  }

  template <typename Visit>
  void forEach(Visit visit) const {
    for (std::size_t i = 0; i < capacity_; ++i) {
      if (slots_[i].value) visit(slots_[i].key, slots_[i].value);
    }
  }

  void swap(FlowMap& other) noexcept {
    std::swap(slots_, other.slots_);
    std::swap(capacity_, other.capacity_);
    std::swap(size_, other.size_);
  }

 private:
  std::size_t home(const UUID& key) const { return UUIDHash()(key) & (capacity_ - 1); }
  std::size_t next(std::size_t i) const { return (i + 1) & (capacity_ - 1); }
  std::size_t freeSlotFor(const UUID& key) const {
    std::size_t i = home(key);
    while (slots_[i].value) i = next(i);
    return i;
  }

  // Sixteen bytes in all, so that the lock and both of the provider's maps share one cache line.
  Slots slots_;
  std::uint32_t capacity_ = 0;
  std::uint32_t size_ = 0;
};

// Runs section(map) under lock once map has room for one more entry. A larger array is allocated
// with the lock released and adopted in the next section; the array it replaces is freed after
// unlocking, like anything else the section leaves in the caller's variables.
template <typename Lock, typename Ptr, typename Section>
void lockWithRoom(Lock& lock, FlowMap<Ptr>& map, Section section) {
  typename FlowMap<Ptr>::Slots larger;
  typename FlowMap<Ptr>::Slots replaced;
  std::size_t largerCapacity = 0;
  for (;;) {
    {
      std::lock_guard guard(lock);
      if (larger && map.capacity() < largerCapacity) {
        replaced = map.adopt(std::move(larger), largerCapacity);
      }
      if (map.hasRoomForOneMore()) {
        section(map);
        return;
      }
      largerCapacity = map.largerCapacity();
    }
    larger = FlowMap<Ptr>::allocate(largerCapacity);
    replaced.reset();
  }
}

}  // namespace quillnest
