#include "store.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include "error.hpp"
#include "record.hpp"
#include "record_fields.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace korvane {
namespace {

constexpr const char* kPoisonedMessage = "korvane-core store mutex poisoned";
constexpr const char* kTooLargeMessage = "too large for korvane IR blob";

thread_local LockWaiter t_lock_waiter = nullptr;

// Records larger than this are not worth their own interning buffer between
// calls; the thread-local buffers give such memory back after use.
constexpr std::size_t kKeptBufferBytes = 64u << 10;

void release_if_large(std::string& buffer) {
  if (buffer.capacity() > kKeptBufferBytes) std::string().swap(buffer);
}

// Zeroed memory for large tables that are probed at random. Backing them with
// huge pages where the system allows it turns most of a probe's TLB miss into
// a plain cache miss, the dominant cost of interning into a large store.
struct HugeFree {
  void operator()(std::uint64_t* p) const { std::free(p); }
};
using SlotArray = std::unique_ptr<std::uint64_t[], HugeFree>;

SlotArray allocate_slots(std::uint64_t count) {
  constexpr std::size_t kHugePage = 2u << 20;
  const std::size_t bytes = count * sizeof(std::uint64_t);
  void* memory;
  if (bytes >= kHugePage) {
    memory = std::aligned_alloc(kHugePage, bytes);  // bytes is a power of two >= the alignment
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (memory != nullptr) madvise(memory, bytes, MADV_HUGEPAGE);
#endif
  } else {
    memory = std::malloc(bytes);
  }
  if (memory == nullptr) throw std::bad_alloc();
  std::memset(memory, 0, bytes);
  return SlotArray(static_cast<std::uint64_t*>(memory));
}

}  // namespace

ScopedLockWaiter::ScopedLockWaiter(LockWaiter waiter)
    : slot_(&t_lock_waiter), previous_(*slot_) {
  *slot_ = waiter;
}

ScopedLockWaiter::~ScopedLockWaiter() { *slot_ = previous_; }

// ---------------------------------------------------------------------------
// The arena: records packed into byte chunks, each behind a u32 length, plus a
// table from id to record. Neither ever moves once written, which is what lets
// an ArenaView read below its count without the lock while writers append.

class ArenaChunks {
 public:
  // Nodes whose records and locations are complete; guarded by the store lock.
  std::uint64_t size() const { return count_; }

  std::string_view record(NodeId id) const {
    const std::uint64_t v = id + kFirstBlock;
    const unsigned bit = static_cast<unsigned>(std::bit_width(v)) - 1;
    const char* data = blocks_[bit - kFirstBlockLog2][v - (std::uint64_t{1} << bit)];
    std::uint32_t length;
    std::memcpy(&length, data - 4, 4);
    return {data, length};
  }

  // Writes the record as the next id. It becomes visible only with publish(),
  // so a failure part-way leaves the published arena as it was.
  void append(std::string_view record) {
    const std::uint64_t v = count_ + kFirstBlock;
    const unsigned bit = static_cast<unsigned>(std::bit_width(v)) - 1;
    auto& block = blocks_[bit - kFirstBlockLog2];
    if (!block) {
      block = std::make_unique_for_overwrite<const char*[]>(std::size_t{1} << bit);
      location_bytes_ += (std::size_t{1} << bit) * sizeof(const char*);
    }
    block[v - (std::uint64_t{1} << bit)] = copy_in(record);
  }
  void publish() { ++count_; }

  std::size_t memory_bytes() const { return chunk_bytes_ + location_bytes_; }

 private:
  // Location blocks double in size: block k holds ids [256 (2^k - 1), 256 (2^(k+1) - 1)).
  static constexpr unsigned kFirstBlockLog2 = 8;
  static constexpr std::uint64_t kFirstBlock = std::uint64_t{1} << kFirstBlockLog2;
  // Chunks start small so that small stores stay small, and stop growing at
  // 1 MiB; a record too big for a chunk gets one of its own.
  static constexpr std::size_t kFirstChunk = 4u << 10;
  static constexpr std::size_t kLargestChunk = 1u << 20;

  // Copies length and record into a chunk; returns where the record starts.
  const char* copy_in(std::string_view record) {
    const std::size_t needed = 4 + record.size();
    char* to;
    if (needed <= room_) {
      to = cursor_;
      cursor_ += needed;
      room_ -= needed;
    } else if (needed > next_chunk_ / 2) {
      to = new_chunk(needed);  // the open chunk stays open for small records
    } else {
      to = new_chunk(next_chunk_);
      cursor_ = to + needed;
      room_ = next_chunk_ - needed;
      next_chunk_ = std::min(next_chunk_ * 2, kLargestChunk);
    }
    const auto length = static_cast<std::uint32_t>(record.size());
    std::memcpy(to, &length, 4);
    std::memcpy(to + 4, record.data(), record.size());
    return to + 4;
  }

  char* new_chunk(std::size_t bytes) {
    chunks_.reserve(chunks_.size() + 1);  // so the push below cannot leak the chunk
    chunks_.push_back(std::make_unique_for_overwrite<char[]>(bytes));
    chunk_bytes_ += bytes;
    return chunks_.back().get();
  }

  std::uint64_t count_ = 0;
  std::array<std::unique_ptr<const char*[]>, 64 - kFirstBlockLog2> blocks_;
  std::vector<std::unique_ptr<char[]>> chunks_;
  char* cursor_ = nullptr;
  std::size_t room_ = 0;
  std::size_t next_chunk_ = kFirstChunk;
  std::size_t chunk_bytes_ = 0;
  std::size_t location_bytes_ = 0;
};

// ---------------------------------------------------------------------------
// The interning index: open addressing with linear probing over 8-byte slots
// that point into the arena. A slot holds the low 32 bits of the node's hash
// above id + 1 (0 marks an empty slot). The home slot is taken from those same
// hash bits, so the table can be rebuilt from its own slots, and the bits above
// the home slot reject nearly every other node without touching its record.
// Ids are therefore below 2^32 - 1, the node limit of the blob format too.

class InternIndex {
 public:
  static constexpr std::uint64_t kMaxNodes = 0xFFFFFFFFULL;

  struct Probe {
    std::uint64_t slot;
    std::optional<NodeId> found;
  };

  template <class SameNode>
  Probe find(std::uint64_t hash, SameNode&& same_node) const {
    if (!slots_) return {0, std::nullopt};  // nothing stored yet; full() asks for a table
    const std::uint64_t tag = hash << 32;
    std::uint64_t i = hash & mask_;
    for (;;) {
      const std::uint64_t entry = slots_[i];
      if (entry == 0) return {i, std::nullopt};
      if ((entry & kTagMask) == tag) {
        const NodeId id = (entry & ~kTagMask) - 1;
        if (same_node(id)) return {i, id};
      }
      i = (i + 1) & mask_;
    }
  }

  void insert_at(std::uint64_t slot, std::uint64_t hash, NodeId id) {
    slots_[slot] = (hash << 32) | (id + 1);
    ++size_;
  }

  // At most three quarters full keeps linear probes short.
  bool full() const { return (size_ + 1) * 4 > capacity() * 3; }

  // Doubles the table. Walking the old slots in order visits homes in nearly
  // ascending order, so the new table fills in two almost sequential streams
  // instead of one cache miss per node.
  void grow() {
    const std::uint64_t old_capacity = capacity();
    const std::uint64_t capacity = std::max<std::uint64_t>(16, 2 * old_capacity);
    check_invariant(capacity <= (std::uint64_t{1} << 32), "store index beyond 2^32 slots");
    SlotArray old = std::move(slots_);
    slots_ = allocate_slots(capacity);
    mask_ = capacity - 1;
    for (std::uint64_t i = 0; i < old_capacity; ++i) {
      const std::uint64_t entry = old[i];
      if (entry == 0) continue;
      std::uint64_t j = (entry >> 32) & mask_;
      while (slots_[j] != 0) j = (j + 1) & mask_;
      slots_[j] = entry;
    }
  }

  std::uint64_t capacity() const { return slots_ ? mask_ + 1 : 0; }
  std::size_t memory_bytes() const { return capacity() * sizeof(std::uint64_t); }

 private:
  static constexpr std::uint64_t kTagMask = 0xFFFFFFFF00000000ULL;

  SlotArray slots_;
  std::uint64_t mask_ = 0;
  std::uint64_t size_ = 0;
};

// ---------------------------------------------------------------------------
// The lock guard. It takes the store's mutex (asking the thread's waiter when
// the mutex is busy), refuses a poisoned store, and poisons the store when an
// exception leaves the critical section, since Inner may then be half-changed.

class GraphStore::Guard {
 public:
  explicit Guard(const GraphStore& store) : store_(store) {
    if (store.poisoned_.load(std::memory_order_acquire)) throw InternalError(kPoisonedMessage);
    if (!store.mutex_.try_lock()) {
      if (t_lock_waiter != nullptr) {
        t_lock_waiter(store.mutex_);
      } else {
        store.mutex_.lock();
      }
    }
    if (store.poisoned_.load(std::memory_order_acquire)) {
      store.mutex_.unlock();
      throw InternalError(kPoisonedMessage);
    }
    exceptions_ = std::uncaught_exceptions();
  }

  ~Guard() {
    if (std::uncaught_exceptions() > exceptions_) {
      store_.poisoned_.store(true, std::memory_order_release);
    }
    store_.mutex_.unlock();
  }

  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  const GraphStore& store_;
  int exceptions_ = 0;
};

// ---------------------------------------------------------------------------

NodeMap::Entry NodeMap::pack(const std::optional<Landing>& landing) {
  if (!landing) return Entry{};
  check_invariant(landing->node < kNone && landing->member.value_or(0) < kNone,
                  "a landing names a node and member below 2^32 - 1");
  return Entry{static_cast<std::uint32_t>(landing->node),
               landing->member ? static_cast<std::uint32_t>(*landing->member) : kNone};
}

std::string_view ArenaView::record(NodeId id) const {
  check_invariant(id < count_, "arena view read beyond its node count");
  return chunks_->record(id);
}

NodeKey ArenaView::node(NodeId id) const { return decode_record(record(id)); }

GraphStore::GraphStore()
    : arena_(std::make_unique<ArenaChunks>()), index_(std::make_unique<InternIndex>()) {}

GraphStore::~GraphStore() = default;

Result<NodeId, BadNodeId> GraphStore::intern(const NodeKey& node) {
  thread_local std::string buffer;
  buffer.clear();
  encode_record(node, buffer);
  Result<NodeId, BadNodeId> result = intern_record(buffer);
  release_if_large(buffer);
  return result;
}

Result<NodeId, BadNodeId> GraphStore::intern_record(std::string_view record) {
  // Everything that needs no lock happens before taking it: canonical form,
  // hash, and where the input list lies.
  thread_local std::string canonical;
  RecordInfo info = inspect_record(record);
  if (!info.canonical) {
    canonical.clear();
    canonicalize_record(record, canonical);
    record = canonical;
    info = inspect_record(record);
  }
  Result<NodeId, BadNodeId> result = intern_canonical(record, info, record_inputs(record));
  release_if_large(canonical);
  return result;
}

Result<NodeId, BadNodeId> GraphStore::intern_fields(NodeFields& fields) {
  // Recording's path: the packed record is the only form the node takes, and
  // the packer already knows where the inputs lie. Recorded nodes are small,
  // so the record is packed on the stack; a NaN needs the canonical
  // comparison, which the general path brings.
  sort_params(fields);
  const std::size_t size = packed_size(fields);
  char on_stack[512];
  std::unique_ptr<char[]> on_heap;
  if (size > sizeof(on_stack)) on_heap = std::make_unique_for_overwrite<char[]>(size);
  char* const bytes = on_heap ? on_heap.get() : on_stack;
  const PackedFields packed = pack_fields(fields, bytes);
  const std::string_view record(bytes, size);
  if (packed.has_nan) return intern_record(record);
  RecordInfo info;
  info.hash = record_hash(record);
  return intern_canonical(record, info, RecordInputs(bytes + packed.inputs_at, packed.input_count));
}

Result<NodeId, BadNodeId> GraphStore::intern_canonical(std::string_view record,
                                                       const RecordInfo& info,
                                                       const RecordInputs& node_inputs) {
  if (record.size() > 0xFFFFFFFFULL) throw std::length_error(kTooLargeMessage);
  const auto same_node = [&](NodeId id) {
    const std::string_view stored = arena_->record(id);
    if (!info.has_nan) {
      return stored.size() == record.size() &&
             std::memcmp(stored.data(), record.data(), record.size()) == 0;
    }
    return record_equal(record, true, stored, inspect_record(stored).has_nan);
  };

  std::optional<Result<NodeId, BadNodeId>> result;
  {
    Guard guard(*this);
    const std::uint64_t count = arena_->size();
    for (std::uint32_t i = 0; i < node_inputs.size() && !result; ++i) {
      if (node_inputs[i] >= count) result.emplace(unexpected(BadNodeId{node_inputs[i]}));
    }
    if (!result) {
      InternIndex::Probe probe = index_->find(info.hash, same_node);
      if (probe.found) {
        result.emplace(*probe.found);
      } else if (count < InternIndex::kMaxNodes) {
        if (index_->full()) {
          index_->grow();
          probe = index_->find(info.hash, [](NodeId) { return false; });
        }
        arena_->append(record);
        index_->insert_at(probe.slot, info.hash, count);
        arena_->publish();
        result.emplace(count);
      }
    }
  }
  // A full store is refused after the lock is released: nothing changed, so
  // the store stays usable rather than poisoned.
  if (!result) throw std::length_error(kTooLargeMessage);
  return std::move(*result);
}

Status<BadNodeId> GraphStore::mark_output(NodeId id) {
  Guard guard(*this);
  if (id >= arena_->size()) return unexpected(BadNodeId{id});
  if (marked_.insert(id).second) outputs_.push_back(id);
  return {};
}

std::uint64_t GraphStore::node_count() const {
  Guard guard(*this);
  return arena_->size();
}

NodeIds GraphStore::outputs() const {
  Guard guard(*this);
  return outputs_;
}

NodeMap GraphStore::node_map() const {
  Guard guard(*this);
  return node_map_;
}

void GraphStore::set_node_map(NodeMap map) {
  Guard guard(*this);
  node_map_ = std::move(map);
}

ArenaView GraphStore::view() const {
  ArenaView view;
  view.chunks_ = arena_.get();
  Guard guard(*this);
  view.count_ = arena_->size();
  view.outputs_ = outputs_;
  return view;
}

// The copies are decoded after the lock is released: records below the count
// taken under the lock never change, so the result is the same as copying
// under the lock, and writers are not held up by the decoding.
GraphStore::Snapshot GraphStore::snapshot() const {
  ArenaView arena = view();
  Snapshot snapshot;
  snapshot.nodes.reserve(arena.size());
  for (NodeId id = 0; id < arena.size(); ++id) snapshot.nodes.push_back(arena.node(id));
  snapshot.outputs = arena.outputs();
  return snapshot;
}

std::vector<NodeKey> GraphStore::snapshot_from(NodeId start) const {
  const ArenaView arena = view();
  std::vector<NodeKey> nodes;
  if (start >= arena.size()) return nodes;
  nodes.reserve(arena.size() - start);
  for (NodeId id = start; id < arena.size(); ++id) nodes.push_back(arena.node(id));
  return nodes;
}

std::size_t GraphStore::memory_bytes() const {
  Guard guard(*this);
  return sizeof(GraphStore) + sizeof(ArenaChunks) + sizeof(InternIndex) + arena_->memory_bytes() +
         index_->memory_bytes() + outputs_.capacity() * sizeof(NodeId) +
         node_map_.memory_bytes();
}

bool GraphStore::poisoned() const { return poisoned_.load(std::memory_order_acquire); }

void GraphStore::fail_while_locked_for_testing() {
  Guard guard(*this);
  throw InternalError("store operation failed while holding the lock");
}

void GraphStore::run_locked_for_testing(const std::function<void()>& body) {
  Guard guard(*this);
  body();
}

std::string bad_node_id_message(const BadNodeId& error) {
  return "no node with id " + std::to_string(error.id);
}

}  // namespace korvane
