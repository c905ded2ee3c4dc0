// Patterns and e-matching.
//
// A pattern is a term over operator symbols whose leaves may be variables
// ("?a"). It is written as an s-expression, parsed once, compacted so equal
// sub-patterns are shared, and compiled into a small backtracking program of
// Bind / Compare / Lookup instructions. Searching runs the program against a
// clean e-graph and yields, per class, the substitutions under which the
// pattern occurs there; applying instantiates a pattern under substitutions
// and merges each instance with the class it was matched in.
//
//   Result<Pattern, PatternError> searcher = Pattern::from_str("(op|add ?a ?b)");
//   std::vector<SearchMatches> found = searcher->search_with_limit(graph, 1000);
//
// Compilation, the matching machine and the rest live in compile.cpp,
// machine.cpp and pattern.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph/small_vector.hpp"
#include "egraph/symbol.hpp"
#include "result.hpp"

namespace korvane::egraph {

// True for a text that names a pattern variable: it starts with '?' and is
// longer than one byte ("?" alone is an ordinary operator).
bool is_var_name(std::string_view text);

// A pattern variable, held as the symbol of its full text ("?x").
struct Var {
  GlobalSymbol symbol;

  static Var from_name(std::string_view text) { return Var{GlobalSymbol::intern(text)}; }
  std::string_view name() const { return symbol.as_str(); }

  friend bool operator==(Var, Var) = default;
  friend auto operator<=>(Var, Var) = default;
};

std::ostream& operator<<(std::ostream& out, Var var);

// A term stored as a list of nodes whose children are positions of earlier
// entries; the last entry is the root.
template <class Node>
class RecExpr {
 public:
  // Appends `node` and returns its position.
  Id add(Node node) {
    nodes_.push_back(std::move(node));
    return static_cast<Id>(nodes_.size() - 1);
  }

  const std::vector<Node>& nodes() const { return nodes_; }
  std::size_t size() const { return nodes_.size(); }
  bool empty() const { return nodes_.empty(); }
  const Node& operator[](std::size_t i) const { return nodes_[i]; }
  const Node& root() const { return nodes_.back(); }

  friend bool operator==(const RecExpr&, const RecExpr&) = default;

 private:
  std::vector<Node> nodes_;
};

// One pattern node: an e-node whose children are pattern positions, or a
// variable. A variable is stored as a childless node whose operator is the
// variable's symbol.
struct ENodeOrVar {
  bool is_var = false;
  SymbolLang node;

  static ENodeOrVar enode(SymbolLang node) { return ENodeOrVar{false, std::move(node)}; }
  static ENodeOrVar var(Var var) { return ENodeOrVar{true, SymbolLang(var.symbol, {})}; }

  Var as_var() const { return Var{node.op}; }
  const Children& children() const { return node.children; }

  friend bool operator==(const ENodeOrVar&, const ENodeOrVar&) = default;
};

using PatternAst = RecExpr<ENodeOrVar>;

// Writes the term as an s-expression, e.g. "(op|add ?a ?b)".
std::ostream& operator<<(std::ostream& out, const PatternAst& ast);
std::string to_string(const PatternAst& ast);

// Why a pattern text was rejected.
struct PatternError {
  enum class Kind : std::uint8_t {
    EmptySexp,  // an empty text or an empty list
    HeadList,   // a list whose first element is a list: `head_list`
    BadSexp,    // the reader failed: `sexp_error`
    BadOp,      // a variable used as an operator with children: `unexpected_var`
  };

  Kind kind = Kind::EmptySexp;
  Sexp head_list;
  ParseError sexp_error;
  std::string unexpected_var;
};

std::string to_string(const PatternError& error);

// Parses a pattern text into a (not yet compacted) pattern AST.
Result<PatternAst, PatternError> parse_pattern(std::string_view text);

// Shares equal sub-patterns: repeated variables and repeated sub-terms become
// one node. First occurrences keep their order; the root stays last.
PatternAst compact(const PatternAst& ast);

// ---------------------------------------------------------------------------
// Substitutions and search results

// Bindings of variables to class ids, at most one per variable, in insertion
// order. Up to three bindings are kept inline.
class Subst {
 public:
  using Binding = std::pair<Var, Id>;

  // Replaces the id of a bound variable in place, or appends a new binding.
  void insert(Var var, Id id);
  std::optional<Id> get(Var var) const;

  std::size_t size() const { return bindings_.size(); }
  bool empty() const { return bindings_.empty(); }
  const Binding* begin() const { return bindings_.begin(); }
  const Binding* end() const { return bindings_.end(); }
  bool is_inline() const { return bindings_.is_inline(); }

  friend bool operator==(const Subst&, const Subst&) = default;

 private:
  SmallVector<Binding, 3> bindings_;
};

// "{?a: 1, ?b: 2}".
std::ostream& operator<<(std::ostream& out, const Subst& subst);
std::string to_string(const Subst& subst);

// The substitutions found in one class. Most classes yield one, kept inline.
using SubstList = SmallVector<Subst, 1>;

// The substitutions under which a pattern occurs in one class (never empty).
struct SearchMatches {
  Id eclass = 0;
  SubstList substs;
};

// ---------------------------------------------------------------------------
// Programs

using Reg = std::uint32_t;

// An entry of a Lookup term: an e-node whose children are positions of
// earlier entries, or a register whose class stands at this position.
struct ENodeOrReg {
  bool is_reg = false;
  SymbolLang node;
  Reg reg = 0;

  static ENodeOrReg enode(SymbolLang node) { return ENodeOrReg{false, std::move(node), 0}; }
  static ENodeOrReg in_reg(Reg reg) { return ENodeOrReg{true, SymbolLang(GlobalSymbol::from_number(0), {}), reg}; }

  friend bool operator==(const ENodeOrReg&, const ENodeOrReg&) = default;
};

// For each node of class `eclass` with the operator and arity of `node`
// (whose children are all 0), load its children into registers out, out+1, ...
struct Bind {
  SymbolLang node;
  Reg eclass = 0;
  Reg out = 0;
  friend bool operator==(const Bind&, const Bind&) = default;
};

// Registers i and j hold ids of one class.
struct Compare {
  Reg i = 0;
  Reg j = 0;
  friend bool operator==(const Compare&, const Compare&) = default;
};

// The ground term `term` (root last) exists and lies in the class of register i.
struct Lookup {
  std::vector<ENodeOrReg> term;
  Reg i = 0;
  friend bool operator==(const Lookup&, const Lookup&) = default;
};

using Instruction = std::variant<Bind, Compare, Lookup>;

struct Program {
  std::vector<Instruction> instructions;
  // Each variable and the register holding its binding, in the order the
  // compiler gave registers to variables.
  Subst subst;
};

// Compiles a compacted pattern AST.
Program compile_from_pat(const PatternAst& compacted);

// Runs `program` on one class of a clean e-graph and returns at most `limit`
// substitutions, in the order found. The machine keeps its registers between
// runs, so a search over many classes reuses one machine.
class Machine {
 public:
  Machine(const Program& program, const EGraph& egraph);

  // Appends the substitutions found in `eclass` (at most `limit`) to `out`.
  void run_with_limit(Id eclass, std::size_t limit, SubstList& out);

 private:
  // Runs the instructions from `pc` on; true asks every caller to stop.
  bool run_from(std::size_t pc);
  bool run_lookup(const Lookup& lookup);
  bool yield_match();
  void run_single_bind(Id eclass);

  const Program& program_;
  // The program is one Bind on the searched class (an operator over
  // variables, each once): every node of the class with that operator and
  // arity is a match, read off directly.
  const Bind* single_bind_ = nullptr;
  const EGraph& egraph_;
  std::vector<Id> registers_;
  std::vector<Id> lookup_buffer_;
  std::size_t remaining_ = 0;
  SubstList* out_ = nullptr;
};

SubstList run_with_limit(const Program& program, const EGraph& egraph, Id eclass,
                         std::size_t limit);

// ---------------------------------------------------------------------------
// Patterns

class Pattern {
 public:
  // Compacts `ast` and compiles it.
  explicit Pattern(const PatternAst& ast);

  // Parses, compacts and compiles a pattern text.
  static Result<Pattern, PatternError> from_str(std::string_view text);

  const PatternAst& ast() const { return ast_; }
  const Program& program() const { return program_; }

  // The distinct variables, in order of first appearance in the compacted AST.
  std::vector<Var> vars() const;

  // Every class of a clean e-graph where the pattern occurs, with at most
  // `limit` substitutions in total; stops mid-class when the limit is reached.
  std::vector<SearchMatches> search_with_limit(const EGraph& egraph, std::size_t limit) const;
  std::vector<SearchMatches> search(const EGraph& egraph) const;

  std::optional<SearchMatches> search_eclass_with_limit(const EGraph& egraph, Id eclass,
                                                        std::size_t limit) const;

  // Instantiates this pattern under every substitution and unions each
  // instance with its match's class (instance first). Returns the instance
  // ids whose union merged two classes.
  std::vector<Id> apply_matches(EGraph& egraph, const std::vector<SearchMatches>& matches) const;

  // Hints that the instance under `subst` will be added soon (apply_pat).
  void prefetch_instance(const EGraph& egraph, const Subst& subst) const;

  // Adds the instance of this pattern under `subst` and returns its id.
  // `ids` is scratch space of the AST's length.
  Id apply_pat(EGraph& egraph, const Subst& subst, std::vector<Id>& ids) const;

 private:
  // apply_pat for a match in `eclass`, or nothing when the instance's root
  // node is already in that class (the union would merge nothing).
  std::optional<Id> instantiate_unless_held(EGraph& egraph, const Subst& subst,
                                            std::vector<Id>& ids, Id eclass) const;

  PatternAst ast_;
  Program program_;
};

}  // namespace korvane::egraph
