// Terse builders for nodes in tests.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "node.hpp"

namespace korvane::test {

inline ParamMap params(std::vector<ParamEntry> entries) { return make_param_map(std::move(entries)); }

inline ParamEntry entry(std::string key, ParamValue value) { return {std::move(key), std::move(value)}; }

inline double float_from_bits(std::uint64_t bits) { return std::bit_cast<double>(bits); }

inline NodeKey source(std::string name, ParamMap p = {}) {
  return NodeKey{SourceNode{std::move(name), std::move(p)}};
}

inline NodeKey op(std::string name, NodeIds inputs = {}, ParamMap p = {}) {
  return NodeKey{OpNode{std::move(name), std::move(p), std::move(inputs)}};
}

inline NodeKey reduction(std::string name, NodeIds inputs = {}, ParamMap p = {}) {
  return NodeKey{ReductionNode{std::move(name), std::move(p), std::move(inputs)}};
}

inline PayloadDescriptor descriptor(std::optional<std::string> preprocessing_ref = std::nullopt) {
  return PayloadDescriptor{"model", "abc123", "torch", "2.1", "f32[3]->f32[1]", std::move(preprocessing_ref)};
}

inline NodeKey external(PayloadDescriptor d, NodeIds inputs = {}, ParamMap p = {}) {
  return NodeKey{ExternalNode{std::make_shared<const PayloadDescriptor>(std::move(d)), std::move(p),
                              std::move(inputs)}};
}

inline NodeKey stage(NodeIds inputs, std::vector<StageOp> members) {
  return NodeKey{StageNode{std::move(inputs), std::move(members)}};
}

inline NodeKey exchange(NodeIds inputs = {}, ParamMap p = {}) {
  return NodeKey{ExchangeNode{std::move(p), std::move(inputs)}};
}

inline NodeKey join(NodeIds inputs = {}, ParamMap p = {}) {
  return NodeKey{JoinNode{std::move(p), std::move(inputs)}};
}

// One node of every kind, with parameters of all four value kinds, in an
// order a store accepts: every input refers to an earlier node.
inline std::vector<NodeKey> one_of_each_kind() {
  const ParamMap all_values = params({entry("i", ParamValue::of_int(-3)),
                                      entry("f", ParamValue::of_float(-0.0)),
                                      entry("b", ParamValue::of_bool(true)),
                                      entry("s", ParamValue::of_str("a;b|c"))});
  return {
      source("s", all_values),                                                          // 0
      exchange({0}, params({entry("scheme", ParamValue::of_str("hash"))})),             // 1
      op("add", {0, 1}, all_values),                                                    // 2
      reduction("sum", {2}, params({entry("axis", ParamValue::of_int(0))})),            // 3
      external(descriptor(), {0}, all_values),                                          // 4
      external(descriptor(""), {}),                                                     // 5
      stage({0, 1}, {StageOp{"op|add", {StageRef::input(0), StageRef::input(1)}},      // 6
                     StageOp{"op|neg", {StageRef::member(0)}}}),
      join({0, 1, 0}),                                                                  // 7
  };
}

}  // namespace korvane::test
