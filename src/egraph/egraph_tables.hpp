// The two hash tables inside an e-graph: the hash-cons and the search index.
// Internal to the e-graph; declared here so that the e-graph can hold them by
// value.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "egraph/chunked_vector.hpp"
#include "egraph/enode.hpp"
#include "error.hpp"
#include "large_alloc.hpp"
#include "prefetch.hpp"

namespace korvane::egraph::detail {

// ---------------------------------------------------------------------------
// The hash-cons: entries in insertion order, found through an open-addressing
// table of 8-byte (hash tag, entry) slots. The slot table is small enough to
// stay mostly in cache for a million entries, and a probe for an absent node,
// the common case while loading, touches only the slots. Entries are
// overwritten, never removed, so their count is the hash-cons size.
//
// Most keys are the node some id was created for, which the e-graph keeps
// anyway (its creation list); such an entry names that id instead of holding
// a second copy of the node. Only the re-canonicalized forms that a rebuild
// enters are stored here. The creation list is passed to every call that
// compares keys.

class NodeMemo {
 public:
  using Created = ChunkedVector<SymbolLang>;

  std::size_t size() const { return entries_.size(); }

  const Id* find(const SymbolLang& node, const Created& created) const {
    if (slots_.empty()) return nullptr;
    const std::uint64_t hash = hash_enode(node);
    const std::uint32_t tag = tag_of(hash);
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.entry == kEmpty) return nullptr;
      if ((slot.tag & ~kExtraKey) == tag && key(slot, created) == node) return &entries_[slot.entry].value;
    }
  }

  // Where `node` is or would go: `value` points at its id if present,
  // otherwise `slot` is the empty slot for an insertion. The table has room
  // for one more entry (make_room) and must not change in between.
  struct Probe {
    Id* value;
    std::size_t slot;
    std::uint32_t tag;
  };

  void make_room(const Created& created) {
    if ((entries_.size() + 1) * 8 > slots_.size() * 5) {
      grow(std::max<std::size_t>(64, slots_.size() * 2), created);
    }
  }

  Probe probe(const SymbolLang& node, const Created& created) {
    const std::uint64_t hash = hash_enode(node);
    const std::uint32_t tag = tag_of(hash);
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.entry == kEmpty) return Probe{nullptr, i, tag};
      if ((slot.tag & ~kExtraKey) == tag && key(slot, created) == node) {
        return Probe{&entries_[slot.entry].value, i, tag};
      }
    }
  }

  // Hints that the node `op` over `children` will be probed soon.
  void prefetch(GlobalSymbol op, std::span<const Id> children) const {
    if (!slots_.empty()) korvane::prefetch(&slots_[hash_enode(op, children) & mask_]);
  }

  // Enters the node that `id` was just created for (created[id]) at the slot
  // a probe for it found empty, mapped to `id`.
  void insert_created(const Probe& probe, Id id) { insert_at(probe, probe.tag, id, id); }

  // Inserts or overwrites; returns the value that was replaced, if any.
  std::optional<Id> insert(const SymbolLang& node, Id id, const Created& created) {
    make_room(created);
    Probe found = probe(node, created);
    if (found.value) return std::exchange(*found.value, id);
    check_invariant(extra_keys_.size() < kEmpty, "hash-cons longer than 2^32 - 1 entries");
    const auto extra = static_cast<std::uint32_t>(extra_keys_.size());
    extra_keys_.push_back(node);
    insert_at(found, found.tag | kExtraKey, extra, id);
    return std::nullopt;
  }

  void reserve(std::size_t count, const Created& created) {
    entries_.reserve(count);
    std::size_t wanted = 64;
    while (count * 8 > wanted * 5) wanted *= 2;
    if (wanted > slots_.size()) grow(wanted, created);
  }

 private:
  // The hash's upper half tells most other nodes apart without reading
  // their keys; its lowest bit is replaced by the kind of key the entry has.
  struct Slot {
    std::uint32_t tag;
    std::uint32_t entry;
  };
  // The entry's key (a creation id, or a position in extra_keys_ when the
  // slot says so) and the id the key maps to.
  struct Entry {
    std::uint32_t key;
    Id value;
  };
  static constexpr std::uint32_t kEmpty = UINT32_MAX;
  static constexpr std::uint32_t kExtraKey = 1;

  static std::uint32_t tag_of(std::uint64_t hash) {
    return static_cast<std::uint32_t>(hash >> 32) & ~kExtraKey;
  }

  const SymbolLang& key(const Slot& slot, const Created& created) const {
    const std::uint32_t ref = entries_[slot.entry].key;
    return (slot.tag & kExtraKey) ? extra_keys_[ref] : created[ref];
  }

  void insert_at(const Probe& probe, std::uint32_t tag, std::uint32_t key, Id value) {
    if (slots_[probe.slot].entry != kEmpty) {
      throw InternalError("assertion failed: self.memo.insert(enode, id).is_none()");
    }
    check_invariant(entries_.size() < kEmpty, "hash-cons longer than 2^32 - 1 entries");
    slots_[probe.slot] = Slot{tag, static_cast<std::uint32_t>(entries_.size())};
    entries_.push_back(Entry{key, value});
  }

  void grow(std::size_t capacity, const Created& created) {
    Slots old(capacity, Slot{0, kEmpty});
    old.swap(slots_);
    mask_ = capacity - 1;
    for (const Slot& slot : old) {
      if (slot.entry == kEmpty) continue;
      std::size_t i = hash_enode(key(slot, created)) & mask_;
      while (slots_[i].entry != kEmpty) i = (i + 1) & mask_;
      slots_[i] = slot;
    }
  }

  using Slots = std::vector<Slot, LargeAllocator<Slot>>;

  ChunkedVector<Entry> entries_;
  ChunkedVector<SymbolLang> extra_keys_;
  Slots slots_;
  std::size_t mask_ = 0;
};

// ---------------------------------------------------------------------------
// The search index: for every operator, the classes holding an e-node with
// it. Kept up to date incrementally: a rebuild lists the classes it tidied
// under their new operators and drops merged-away classes from the lists of
// the operators they were listed under.

class SearchIndex {
 public:
  const std::vector<Id>& classes_with(GlobalSymbol op) const {
    const std::uint32_t b = find(op);
    return b == kNoBucket ? kNone : buckets_[b].ids;
  }

  void add(GlobalSymbol op, Id id) { buckets_[bucket(op)].ids.push_back(id); }

  // `op`'s list holds a class that no longer exists.
  void mark_stale(GlobalSymbol op) {
    std::uint32_t b = bucket(op);
    if (!buckets_[b].stale) {
      buckets_[b].stale = true;
      stale_.push_back(b);
    }
  }

  template <class IsLive>
  void drop_stale(IsLive is_live) {
    for (std::uint32_t b : stale_) {
      std::vector<Id>& ids = buckets_[b].ids;
      ids.erase(std::remove_if(ids.begin(), ids.end(), [&](Id id) { return !is_live(id); }),
                ids.end());
      buckets_[b].stale = false;
    }
    stale_.clear();
  }

 private:
  struct Bucket {
    std::vector<Id> ids;
    bool stale = false;
  };
  // Operator -> bucket, by open addressing on the symbol's number: a graph
  // has thousands of operators, and indexing a million new classes looks one
  // up per class.
  struct Slot {
    std::uint32_t op = 0;  // symbol numbers are never 0
    std::uint32_t bucket = 0;
  };
  static constexpr std::uint32_t kNoBucket = UINT32_MAX;

  static std::size_t home(std::uint32_t op, std::size_t mask) {
    return static_cast<std::size_t>(mix64(op)) & mask;
  }

  std::uint32_t find(GlobalSymbol op) const {
    if (slots_.empty()) return kNoBucket;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = home(op.number(), mask);; i = (i + 1) & mask) {
      if (slots_[i].op == op.number()) return slots_[i].bucket;
      if (slots_[i].op == 0) return kNoBucket;
    }
  }

  std::uint32_t bucket(GlobalSymbol op) {
    if (op == last_op_ && !buckets_.empty()) return last_bucket_;
    std::uint32_t b = find(op);
    if (b == kNoBucket) {
      if ((buckets_.size() + 1) * 2 > slots_.size()) grow();
      b = static_cast<std::uint32_t>(buckets_.size());
      buckets_.emplace_back();
      place(Slot{op.number(), b});
    }
    last_op_ = op;
    last_bucket_ = b;
    return b;
  }

  void place(Slot slot) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = home(slot.op, mask);
    while (slots_[i].op != 0) i = (i + 1) & mask;
    slots_[i] = slot;
  }

  void grow() {
    std::vector<Slot> old(slots_.empty() ? 64 : 2 * slots_.size());
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.op != 0) place(slot);
    }
  }

  static inline const std::vector<Id> kNone{};
  std::vector<Slot> slots_;
  std::vector<Bucket> buckets_;
  std::vector<std::uint32_t> stale_;
  GlobalSymbol last_op_ = GlobalSymbol::from_number(0);
  std::uint32_t last_bucket_ = 0;
};

}  // namespace korvane::egraph::detail
