// The graph store: a thread-safe, interning container of one pipeline graph.
//
// Every distinct node gets exactly one id; ids are dense from 0 in first
// insertion order and every node's inputs are smaller ids. Nodes are kept as
// packed records (record.hpp) in chunks that never move, and the store only
// grows, so a reader that took the node count under the lock may read every
// record below it afterwards without holding the lock (ArenaView).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "node.hpp"
#include "result.hpp"

namespace korvane {

// The store's only error: an id that is not below the node count.
struct BadNodeId {
  NodeId id = 0;
};

// Where a node of an earlier store landed in a reduced one: a whole node, or
// member `member` of a stage node.
struct Landing {
  NodeId node = 0;
  std::optional<std::uint64_t> member;
  friend bool operator==(const Landing&, const Landing&) = default;
};

// One entry per node of the store a reduced store came from: where that node
// landed, or nothing when the reduction dropped it. A map has an entry for
// every node of the larger store and lives as long as the reduced one, so an
// entry takes 8 bytes rather than the 32 of an optional Landing: ids and
// member indexes are below 2^32 - 1 (a store's limit), and 2^32 - 1 marks
// "absent" and "no member".
class NodeMap {
 public:
  NodeMap() = default;
  NodeMap(std::initializer_list<std::optional<Landing>> entries) {
    entries_.reserve(entries.size());
    for (const auto& entry : entries) push_back(entry);
  }
  // `size` absent entries.
  explicit NodeMap(std::size_t size) : entries_(size) {}

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  std::optional<Landing> operator[](std::size_t i) const {
    const Entry& entry = entries_[i];
    if (entry.node == kNone) return std::nullopt;
    return Landing{entry.node, entry.member == kNone ? std::nullopt
                                                     : std::optional<std::uint64_t>(entry.member)};
  }

  void set(std::size_t i, const std::optional<Landing>& landing) { entries_[i] = pack(landing); }
  void push_back(const std::optional<Landing>& landing) { entries_.push_back(pack(landing)); }
  // Entry i becomes entry j of `other`.
  void copy_from(std::size_t i, const NodeMap& other, std::size_t j) { entries_[i] = other.entries_[j]; }
  void reserve(std::size_t size) { entries_.reserve(size); }
  std::size_t memory_bytes() const { return entries_.capacity() * sizeof(Entry); }

  friend bool operator==(const NodeMap&, const NodeMap&) = default;

 private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  struct Entry {
    std::uint32_t node = kNone;
    std::uint32_t member = kNone;
    friend bool operator==(const Entry&, const Entry&) = default;
  };
  static Entry pack(const std::optional<Landing>& landing);

  std::vector<Entry> entries_;
};

// How a thread waits for a store lock that another thread holds. By default
// it simply blocks. The Python layer installs, for the span of a call made
// while attached to the interpreter, a waiter that detaches while it blocks,
// so one thread waiting on a store never stalls the others. A waiter must
// return with the mutex locked.
using LockWaiter = void (*)(std::mutex& mutex);
class ScopedLockWaiter {
 public:
  explicit ScopedLockWaiter(LockWaiter waiter);
  ~ScopedLockWaiter();
  ScopedLockWaiter(const ScopedLockWaiter&) = delete;
  ScopedLockWaiter& operator=(const ScopedLockWaiter&) = delete;

 private:
  LockWaiter* slot_;  // this thread's waiter, looked up once
  LockWaiter previous_;
};

class ArenaChunks;     // store.cpp
struct NodeFields;     // record_fields.hpp
struct RecordInfo;     // record.hpp
class RecordInputs;    // record.hpp
class InternIndex;     // store.cpp
class RewriteEngine;   // optimizer/engine.hpp
struct Reduced;        // optimizer/pipeline.hpp
struct ReductionReport;

// A consistent read of a store: the node count and the outputs as of one hold
// of the lock. Records below the count never change, so they are read without
// the lock and without copying. Valid while the store lives.
class ArenaView {
 public:
  std::uint64_t size() const { return count_; }
  std::string_view record(NodeId id) const;
  NodeKey node(NodeId id) const;
  const NodeIds& outputs() const { return outputs_; }

 private:
  friend class GraphStore;
  const ArenaChunks* chunks_ = nullptr;
  std::uint64_t count_ = 0;
  NodeIds outputs_;
};

class GraphStore {
 public:
  GraphStore();
  ~GraphStore();
  GraphStore(const GraphStore&) = delete;
  GraphStore& operator=(const GraphStore&) = delete;

  // Interns a node: its id, the existing id when an equal node is present, or
  // BadNodeId with the first input not below the node count (store unchanged).
  // Throws std::length_error ("too large for korvane IR blob") when the node
  // does not fit a record (record.hpp) or the store already holds 2^32 - 1
  // nodes, the most a blob can list; the store is unchanged and usable.
  Result<NodeId, BadNodeId> intern(const NodeKey& node);
  // The same for a well-formed packed record (the blob reader's fast path); a
  // record in the reader's wider form is canonicalized first (record.hpp).
  Result<NodeId, BadNodeId> intern_record(std::string_view record);
  // The same for a node given as borrowed fields (record_fields.hpp), packed
  // straight into a reused buffer; its parameters are sorted in place.
  Result<NodeId, BadNodeId> intern_fields(NodeFields& fields);

  // Marks an output once, in order of first marking.
  Status<BadNodeId> mark_output(NodeId id);

  std::uint64_t node_count() const;
  NodeIds outputs() const;
  NodeMap node_map() const;
  // Replaces the node map; only done once, on a fresh reduced store.
  void set_node_map(NodeMap map);

  // Deep copies taken under one hold of the lock.
  struct Snapshot {
    std::vector<NodeKey> nodes;
    NodeIds outputs;
  };
  Snapshot snapshot() const;
  std::vector<NodeKey> snapshot_from(NodeId start) const;
  // The same without copying: count and outputs now, records read on demand.
  ArenaView view() const;

  // Graphviz text of the whole store as of one hold of the lock.
  std::string to_dot() const;

  // Bytes the store holds for its nodes, index, outputs and node map.
  std::size_t memory_bytes() const;

  // Reduction entry points (defined with the optimizer).
  std::pair<std::unique_ptr<GraphStore>, ReductionReport> reduce_with(const RewriteEngine& engine,
                                                                      bool maximal) const;
  Result<std::pair<std::unique_ptr<GraphStore>, ReductionReport>, BadNodeId> reduce_with_outputs(
      const NodeIds& outputs, const RewriteEngine& engine, bool maximal) const;
  Result<std::unique_ptr<GraphStore>, BadNodeId> cone(const NodeIds& outputs) const;
  // A view of the store, or BadNodeId for the first output not below its count.
  Result<ArenaView, BadNodeId> arena_holding(const NodeIds& outputs) const;
  static std::pair<std::unique_ptr<GraphStore>, ReductionReport> from_reduced(Reduced reduced);

  bool poisoned() const;
  // Test seams: fail an operation while the lock is held, poisoning the store;
  // run `body` while holding the lock (an exception from it poisons the store).
  void fail_while_locked_for_testing();
  void run_locked_for_testing(const std::function<void()>& body);

 private:
  class Guard;  // takes the lock, poisons the store if an exception escapes

  // The locked part of interning a canonical record whose hash and inputs are known.
  Result<NodeId, BadNodeId> intern_canonical(std::string_view record, const RecordInfo& info,
                                             const RecordInputs& inputs);

  mutable std::mutex mutex_;
  mutable std::atomic<bool> poisoned_{false};
  std::unique_ptr<ArenaChunks> arena_;
  std::unique_ptr<InternIndex> index_;
  NodeIds outputs_;
  // The same ids as outputs_, so marking stays constant-time however many
  // outputs a blob lists.
  std::unordered_set<NodeId> marked_;
  NodeMap node_map_;
};

// "no node with id {id}"
std::string bad_node_id_message(const BadNodeId& error);

}  // namespace korvane
