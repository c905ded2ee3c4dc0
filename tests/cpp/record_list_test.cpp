#include "optimizer/record_list.hpp"

#include <gtest/gtest.h>

#include "optimizer_support.hpp"

namespace korvane {
namespace {

using namespace korvane::testing;

std::string encoded(const NodeKey& node) {
  std::string out;
  encode_record(node, out);
  return out;
}

// Splicing new inputs into a record must give exactly the record of the node
// with those inputs, for every kind (inputs sit at the end, or first for a
// stage).
TEST(RecordList, SplicedInputsMatchTheEncodedNode) {
  const PayloadDescriptor d{"k", "h", "fw", "1", "io", "ref"};
  const ParamMap p = params({{"a", ParamValue::of_int(-4)}, {"b", ParamValue::of_str("x;y")}});
  const std::vector<NodeKey> nodes{
      src("s", p),        op("f", {3, 1}, p), red("sum", {2}, p), ext(d, {7}, p),
      exch({1, 1, 1}, p), join({}, p),
      stage({4, 5}, {{"op|f", {StageRef::input(1)}}, {"op|g", {StageRef::member(0)}}})};
  const NodeIds fresh{9, 8};
  RecordList list;
  for (const NodeKey& node : nodes) list.push_with_inputs(encoded(node), fresh);
  ASSERT_EQ(list.size(), nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    EXPECT_EQ(list.record(i), encoded(with_inputs(nodes[i], fresh))) << "node " << i;
  }

  std::string rewritten = encoded(nodes[6]);
  overwrite_inputs(rewritten, NodeIds{0, 2});
  EXPECT_EQ(decode_record(rewritten), with_inputs(nodes[6], {0, 2}));
}

TEST(RecordList, StageWrittenMemberByMember) {
  const NodeKey expected =
      stage({3, 0}, {{"op|add|scalar=f0000000000000000;side=sr", {StageRef::input(1)}},
                     {"op|mul", {StageRef::member(0), StageRef::input(0)}},
                     {"op|nullary", {}}});
  std::string members;
  for (const StageOp& m : expected.as<StageNode>().members) {
    append_stage_member(members, m.token, m.inputs);
  }
  RecordList list;
  list.push_stage(NodeIds{3, 0}, 3, members);
  EXPECT_EQ(list.record(0), encoded(expected));
  EXPECT_EQ(list.node(0), expected);
}

}  // namespace
}  // namespace korvane
