// The matching machine: runs a compiled pattern against one class by
// backtracking over the nodes that each Bind can choose.
#include "egraph/pattern.hpp"
#include "error.hpp"

namespace korvane::egraph {

Machine::Machine(const Program& program, const EGraph& egraph) : program_(program), egraph_(egraph) {
  if (program.instructions.size() == 1) {
    const Bind* bind = std::get_if<Bind>(&program.instructions[0]);
    if (bind != nullptr && bind->eclass == 0) single_bind_ = bind;
  }
}

void Machine::run_with_limit(Id eclass, std::size_t limit, SubstList& out) {
  if (!egraph_.is_clean()) throw InternalError("Tried to search a dirty e-graph!");
  if (limit == 0) return;
  remaining_ = limit;
  out_ = &out;
  if (single_bind_ != nullptr) {
    run_single_bind(eclass);
  } else {
    registers_.assign(1, eclass);
    run_from(0);
  }
  out_ = nullptr;
}

// What run_from does for a lone Bind on register 0, without the register
// file: register 0 is the class, registers out, out + 1, ... the node's
// children.
void Machine::run_single_bind(Id eclass) {
  const Bind& bind = *single_bind_;
  const auto& nodes = egraph_.class_of(eclass).nodes;
  const SymbolLang* node = std::lower_bound(
      nodes.begin(), nodes.end(), bind.node.op,
      [](const SymbolLang& candidate, GlobalSymbol op) { return candidate.op < op; });
  for (; node != nodes.end() && node->op == bind.node.op; ++node) {
    if (!node->matches(bind.node)) continue;
    Subst subst;
    for (const auto& [var, reg] : program_.subst) {
      subst.insert(var, reg < bind.out ? eclass : node->children[reg - bind.out]);
    }
    out_->push_back(std::move(subst));
    if (--remaining_ == 0) return;
  }
}

bool Machine::run_from(std::size_t pc) {
  const std::vector<Instruction>& instructions = program_.instructions;
  for (; pc < instructions.size(); ++pc) {
    const Instruction& instruction = instructions[pc];
    if (const Bind* bind = std::get_if<Bind>(&instruction)) {
      const auto& nodes = egraph_.class_of(registers_[bind->eclass]).nodes;
      // Node lists are sorted by operator, so the candidates are one run.
      const SymbolLang* node = std::lower_bound(
          nodes.begin(), nodes.end(), bind->node.op,
          [](const SymbolLang& candidate, GlobalSymbol op) { return candidate.op < op; });
      for (; node != nodes.end() && node->op == bind->node.op; ++node) {
        if (!node->matches(bind->node)) continue;
        registers_.resize(bind->out);
        registers_.insert(registers_.end(), node->children.begin(), node->children.end());
        if (run_from(pc + 1)) return true;
      }
      return false;
    }
    if (const Compare* compare = std::get_if<Compare>(&instruction)) {
      if (egraph_.find(registers_[compare->i]) != egraph_.find(registers_[compare->j])) return false;
      continue;
    }
    if (!run_lookup(std::get<Lookup>(instruction))) return false;
  }
  return yield_match();
}

// True when the ground term exists and lies in the class of register i.
bool Machine::run_lookup(const Lookup& lookup) {
  lookup_buffer_.clear();
  for (const ENodeOrReg& entry : lookup.term) {
    if (entry.is_reg) {
      lookup_buffer_.push_back(egraph_.find(registers_[entry.reg]));
      continue;
    }
    SymbolLang node = entry.node;
    for (Id& child : node.children) child = lookup_buffer_[child];
    std::optional<Id> found = egraph_.lookup(std::move(node));
    if (!found) return false;
    lookup_buffer_.push_back(*found);
  }
  return egraph_.find(registers_[lookup.i]) == lookup_buffer_.back();
}

bool Machine::yield_match() {
  Subst subst;
  for (const auto& [var, reg] : program_.subst) subst.insert(var, registers_[reg]);
  out_->push_back(std::move(subst));
  return --remaining_ == 0;
}

SubstList run_with_limit(const Program& program, const EGraph& egraph, Id eclass,
                         std::size_t limit) {
  SubstList found;
  Machine(program, egraph).run_with_limit(eclass, limit, found);
  return found;
}

}  // namespace korvane::egraph
