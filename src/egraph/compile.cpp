// Compiling a compacted pattern into a matching program.
//
// Sub-terms are scheduled greedily: fully bound sub-terms first (a single
// hash-cons lookup checks them), then those binding the most new variables,
// then the smallest. Registers are handed out in order: register 0 holds the
// class being searched, each Bind loads a node's children into the next free
// registers.
#include <algorithm>
#include <tuple>

#include "egraph/pattern.hpp"
#include "error.hpp"

namespace korvane::egraph {

namespace {

class Compiler {
 public:
  explicit Compiler(const PatternAst& pattern) : pattern_(pattern) { compute_free_vars(); }

  Program compile() {
    add_todo(static_cast<Id>(pattern_.size() - 1), 0);
    while (!todo_.empty()) {
      auto best = std::max_element(todo_.begin(), todo_.end(), [&](const Todo& a, const Todo& b) {
        return std::tuple(priority(a), a.position, a.reg) < std::tuple(priority(b), b.position, b.reg);
      });
      Todo next = *best;
      todo_.erase(best);
      compile_entry(next);
    }
    return Program{std::move(instructions_), std::move(var_regs_)};
  }

 private:
  struct Todo {
    Id position;
    Reg reg;
  };

  // (fully bound, unbound variable count, -size): greater is compiled first.
  std::tuple<bool, std::size_t, long long> priority(const Todo& todo) const {
    std::size_t unbound = count_unbound(todo.position);
    return {unbound == 0, unbound, -static_cast<long long>(size_[todo.position])};
  }

  std::size_t count_unbound(Id position) const {
    std::size_t unbound = 0;
    for (Var var : free_vars_[position]) unbound += !var_regs_.get(var).has_value();
    return unbound;
  }

  void compute_free_vars() {
    free_vars_.resize(pattern_.size());
    size_.resize(pattern_.size());
    for (std::size_t p = 0; p < pattern_.size(); ++p) {
      const ENodeOrVar& node = pattern_[p];
      if (node.is_var) {
        free_vars_[p] = {node.as_var()};
        size_[p] = 0;
        continue;
      }
      std::vector<Var>& vars = free_vars_[p];
      std::size_t size = 1;
      for (Id child : node.children()) {
        vars.insert(vars.end(), free_vars_[child].begin(), free_vars_[child].end());
        size += size_[child];
      }
      std::sort(vars.begin(), vars.end());
      vars.erase(std::unique(vars.begin(), vars.end()), vars.end());
      size_[p] = size;
    }
  }

  void add_todo(Id position, Reg reg) {
    const ENodeOrVar& node = pattern_[position];
    if (!node.is_var) {
      todo_.push_back(Todo{position, reg});
    } else if (std::optional<Reg> bound = var_regs_.get(node.as_var())) {
      instructions_.push_back(Compare{reg, *bound});
    } else {
      var_regs_.insert(node.as_var(), reg);
    }
  }

  void compile_entry(const Todo& todo) {
    const SymbolLang& node = pattern_[todo.position].node;
    if (count_unbound(todo.position) == 0 && !node.children.empty()) {
      instructions_.push_back(Lookup{ground_term(todo.position), todo.reg});
      return;
    }
    Reg out = next_reg_;
    SymbolLang shape = node;
    std::fill(shape.children.begin(), shape.children.end(), 0);
    instructions_.push_back(Bind{std::move(shape), todo.reg, out});
    for (std::size_t k = 0; k < node.children.size(); ++k) {
      add_todo(node.children[k], out + static_cast<Reg>(k));
    }
    next_reg_ = out + static_cast<Reg>(node.children.size());
  }

  // The sub-term at `root` with children before parents, each shared
  // sub-term once, and every (bound) variable replaced by its register.
  std::vector<ENodeOrReg> ground_term(Id root) const {
    std::vector<ENodeOrReg> term;
    std::vector<std::optional<Id>> term_position(pattern_.size());
    append_term(root, term, term_position);
    return term;
  }

  Id append_term(Id position, std::vector<ENodeOrReg>& term,
                 std::vector<std::optional<Id>>& term_position) const {
    if (term_position[position]) return *term_position[position];
    const ENodeOrVar& node = pattern_[position];
    if (node.is_var) {
      term.push_back(ENodeOrReg::in_reg(*var_regs_.get(node.as_var())));
    } else {
      SymbolLang entry = node.node;
      for (Id& child : entry.children) child = append_term(child, term, term_position);
      term.push_back(ENodeOrReg::enode(std::move(entry)));
    }
    Id placed = static_cast<Id>(term.size() - 1);
    term_position[position] = placed;
    return placed;
  }

  const PatternAst& pattern_;
  std::vector<std::vector<Var>> free_vars_;
  std::vector<std::size_t> size_;
  std::vector<Instruction> instructions_;
  Subst var_regs_;
  std::vector<Todo> todo_;
  Reg next_reg_ = 1;
};

}  // namespace

Program compile_from_pat(const PatternAst& compacted) {
  check_invariant(!compacted.empty(), "cannot compile an empty pattern");
  return Compiler(compacted).compile();
}

}  // namespace korvane::egraph
