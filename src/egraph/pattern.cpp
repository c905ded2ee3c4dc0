#include "egraph/pattern.hpp"

#include <algorithm>
#include <limits>
#include <ostream>
#include <sstream>
#include <unordered_map>

#include "egraph/hashing.hpp"
#include "error.hpp"

namespace korvane::egraph {

bool is_var_name(std::string_view text) { return text.size() > 1 && text[0] == '?'; }

std::ostream& operator<<(std::ostream& out, Var var) { return out << var.name(); }

// ---------------------------------------------------------------------------
// Printing

static void write_term(std::ostream& out, const PatternAst& ast, std::size_t position) {
  const ENodeOrVar& node = ast[position];
  if (node.is_var || node.children().empty()) {
    out << node.node.op;
    return;
  }
  out << '(' << node.node.op;
  for (Id child : node.children()) {
    out << ' ';
    write_term(out, ast, child);
  }
  out << ')';
}

std::ostream& operator<<(std::ostream& out, const PatternAst& ast) {
  if (!ast.empty()) write_term(out, ast, ast.size() - 1);
  return out;
}

std::string to_string(const PatternAst& ast) {
  std::ostringstream out;
  out << ast;
  return out.str();
}

std::string to_string(const PatternError& error) {
  switch (error.kind) {
    case PatternError::Kind::EmptySexp:
      return "empty s-expression in pattern";
    case PatternError::Kind::HeadList:
      return "a list cannot be an operator: " + to_string(error.head_list);
    case PatternError::Kind::BadSexp:
      return "malformed s-expression: " + to_string(error.sexp_error);
    case PatternError::Kind::BadOp:
      return "variable " + error.unexpected_var + " used as an operator";
  }
  return "unknown pattern error";
}

// ---------------------------------------------------------------------------
// Parsing

namespace {

Unexpected<PatternError> empty_sexp() { return unexpected(PatternError{}); }

// Converts `sexp` into nodes of `ast`, children before parents, and returns
// the position of its root.
Result<Id, PatternError> convert(const Sexp& sexp, PatternAst& ast) {
  switch (sexp.kind) {
    case Sexp::Kind::Empty:
      return empty_sexp();
    case Sexp::Kind::String:
      if (is_var_name(sexp.text)) return ast.add(ENodeOrVar::var(Var::from_name(sexp.text)));
      return ast.add(ENodeOrVar::enode(SymbolLang::from_op(sexp.text, {})));
    case Sexp::Kind::List:
      break;
  }
  if (sexp.items.empty()) return empty_sexp();
  const Sexp& head = sexp.items.front();
  if (head.is_list()) {
    PatternError error;
    error.kind = PatternError::Kind::HeadList;
    error.head_list = head;
    return unexpected(std::move(error));
  }
  Children children;
  for (std::size_t i = 1; i < sexp.items.size(); ++i) {
    Result<Id, PatternError> child = convert(sexp.items[i], ast);
    if (!child) return unexpected(child.error());
    children.push_back(*child);
  }
  if (is_var_name(head.text)) {
    if (!children.empty()) {
      PatternError error;
      error.kind = PatternError::Kind::BadOp;
      error.unexpected_var = head.text;
      return unexpected(std::move(error));
    }
    return ast.add(ENodeOrVar::var(Var::from_name(head.text)));
  }
  return ast.add(ENodeOrVar::enode(SymbolLang::from_op(head.text, std::move(children))));
}

std::string_view strip(std::string_view text) {
  constexpr std::string_view kSpace = " \t\n\r\f\v";
  std::size_t first = text.find_first_not_of(kSpace);
  if (first == text.npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

}  // namespace

Result<PatternAst, PatternError> parse_pattern(std::string_view text) {
  Result<Sexp, ParseError> sexp = parse_str(strip(text));
  if (!sexp) {
    PatternError error;
    error.kind = PatternError::Kind::BadSexp;
    error.sexp_error = sexp.error();
    return unexpected(std::move(error));
  }
  PatternAst ast;
  Result<Id, PatternError> root = convert(*sexp, ast);
  if (!root) return unexpected(root.error());
  return ast;
}

// ---------------------------------------------------------------------------
// Compaction

namespace {

struct PatternNodeHash {
  std::size_t operator()(const ENodeOrVar& node) const {
    return hash_enode(node.node) ^ static_cast<std::size_t>(node.is_var);
  }
};

}  // namespace

PatternAst compact(const PatternAst& ast) {
  PatternAst kept;
  std::unordered_map<ENodeOrVar, Id, PatternNodeHash> position_of;
  std::vector<Id> moved_to(ast.size());
  for (std::size_t i = 0; i < ast.size(); ++i) {
    ENodeOrVar node = ast[i];
    for (Id& child : node.node.children) child = moved_to[child];
    auto found = position_of.find(node);
    if (found != position_of.end()) {
      moved_to[i] = found->second;
      continue;
    }
    Id position = kept.add(node);
    position_of.emplace(std::move(node), position);
    moved_to[i] = position;
  }
  return kept;
}

// ---------------------------------------------------------------------------
// Substitutions

void Subst::insert(Var var, Id id) {
  for (Binding& binding : bindings_) {
    if (binding.first == var) {
      binding.second = id;
      return;
    }
  }
  bindings_.emplace_back(var, id);
}

std::optional<Id> Subst::get(Var var) const {
  for (const Binding& binding : bindings_) {
    if (binding.first == var) return binding.second;
  }
  return std::nullopt;
}

std::ostream& operator<<(std::ostream& out, const Subst& subst) {
  out << '{';
  const char* separator = "";
  for (const auto& [var, id] : subst) {
    out << separator << var << ": " << id;
    separator = ", ";
  }
  return out << '}';
}

std::string to_string(const Subst& subst) {
  std::ostringstream out;
  out << subst;
  return out.str();
}

// ---------------------------------------------------------------------------
// Patterns

Pattern::Pattern(const PatternAst& ast) : ast_(compact(ast)), program_(compile_from_pat(ast_)) {}

Result<Pattern, PatternError> Pattern::from_str(std::string_view text) {
  Result<PatternAst, PatternError> ast = parse_pattern(text);
  if (!ast) return unexpected(ast.error());
  return Pattern(*ast);
}

std::vector<Var> Pattern::vars() const {
  std::vector<Var> vars;
  for (const ENodeOrVar& node : ast_.nodes()) {
    if (node.is_var && std::find(vars.begin(), vars.end(), node.as_var()) == vars.end()) {
      vars.push_back(node.as_var());
    }
  }
  return vars;
}

std::optional<SearchMatches> Pattern::search_eclass_with_limit(const EGraph& egraph, Id eclass,
                                                               std::size_t limit) const {
  SearchMatches matches{eclass, run_with_limit(program_, egraph, eclass, limit)};
  if (matches.substs.empty()) return std::nullopt;
  return matches;
}

std::vector<SearchMatches> Pattern::search_with_limit(const EGraph& egraph,
                                                      std::size_t limit) const {
  // Refused up front, not only when a candidate class is run: the search
  // index of a dirty e-graph may list too few classes, and a search finding
  // nothing there would go unnoticed.
  if (!egraph.is_clean() && egraph.class_count() > 0 && limit > 0) {
    throw InternalError("Tried to search a dirty e-graph!");
  }
  std::vector<SearchMatches> found;
  Machine machine(program_, egraph);
  SubstList substs;
  auto search_class = [&](Id eclass) {
    machine.run_with_limit(eclass, limit, substs);
    if (substs.empty()) return;
    check_invariant(substs.size() <= limit, "assertion failed: len <= limit");
    limit -= substs.size();
    found.push_back(SearchMatches{eclass, std::move(substs)});
    substs = SubstList();
  };

  const ENodeOrVar& root = ast_.root();
  if (root.is_var) {
    for (const EClass& eclass : egraph.classes()) {
      if (limit == 0) break;
      search_class(eclass.id);
    }
  } else {
    // Only classes holding the root's operator can match; the index lists
    // exactly those, so the matches are the same as over every class.
    const std::vector<Id>& candidates = egraph.classes_with_op(root.node.op);
    constexpr std::size_t kLookahead = 8;
    for (std::size_t i = 0; i < candidates.size() && limit > 0; ++i) {
      if (i + kLookahead < candidates.size()) egraph.prefetch_class(candidates[i + kLookahead]);
      search_class(candidates[i]);
    }
  }
  return found;
}

std::vector<SearchMatches> Pattern::search(const EGraph& egraph) const {
  return search_with_limit(egraph, std::numeric_limits<std::size_t>::max());
}

Id Pattern::apply_pat(EGraph& egraph, const Subst& subst, std::vector<Id>& ids) const {
  ids.resize(ast_.size());
  for (std::size_t i = 0; i < ast_.size(); ++i) {
    const ENodeOrVar& node = ast_[i];
    if (node.is_var) {
      std::optional<Id> bound = subst.get(node.as_var());
      if (!bound) {
        std::string name(node.as_var().name());
        throw InternalError("Var '" + name + "=" + name + "' not found in " + to_string(subst));
      }
      ids[i] = *bound;
    } else {
      SymbolLang instance = node.node;
      for (Id& child : instance.children) child = ids[child];
      ids[i] = egraph.add(std::move(instance));
    }
  }
  return ids.back();
}

std::optional<Id> Pattern::instantiate_unless_held(EGraph& egraph, const Subst& subst,
                                                   std::vector<Id>& ids, Id eclass) const {
  const ENodeOrVar& root = ast_.root();
  if (root.is_var) return apply_pat(egraph, subst, ids);
  // Everything below the root is added as usual; the root is looked for in
  // the matched class first. Once a match has been applied, applying it
  // again (as every iteration after it does until the rule is banned or the
  // run saturates) finds its instance there: adding would return that class
  // and the union would merge nothing, so both are skipped.
  ids.resize(ast_.size());
  for (std::size_t i = 0; i + 1 < ast_.size(); ++i) {
    const ENodeOrVar& node = ast_[i];
    if (node.is_var) {
      const std::optional<Id> bound = subst.get(node.as_var());
      if (!bound) return apply_pat(egraph, subst, ids);  // reports the missing variable
      ids[i] = *bound;
    } else {
      SymbolLang instance = node.node;
      for (Id& child : instance.children) child = ids[child];
      ids[i] = egraph.add(std::move(instance));
    }
  }
  SymbolLang instance = root.node;
  for (Id& child : instance.children) child = ids[child];
  if (egraph.holds(eclass, instance)) return std::nullopt;
  return ids.back() = egraph.add(std::move(instance));
}

void Pattern::prefetch_instance(const EGraph& egraph, const Subst& subst) const {
  // Only nodes over variables can be formed before the instance is added;
  // deeper ones need the ids that adding their children returns. Bound ids
  // are canonical as of the last rebuild, which is close enough for a hint
  // and spares walking the union-find here.
  for (std::uint32_t i = 0; i < ast_.size(); ++i) {
    const ENodeOrVar& node = ast_[i];
    if (node.is_var) continue;
    Children children;
    for (Id child : node.children()) {
      const ENodeOrVar& operand = ast_[child];
      const std::optional<Id> bound = operand.is_var ? subst.get(operand.as_var()) : std::nullopt;
      if (!bound) break;
      children.push_back(*bound);
    }
    if (children.size() == node.children().size()) {
      egraph.prefetch_add(node.node.op, {children.begin(), children.end()});
    }
  }
}

std::vector<Id> Pattern::apply_matches(EGraph& egraph,
                                       const std::vector<SearchMatches>& matches) const {
  std::vector<Id> changed;
  std::vector<Id> ids(ast_.size());
  constexpr std::size_t kLookahead = 4;
  for (std::size_t m = 0; m < matches.size(); ++m) {
    if (m + kLookahead < matches.size()) {
      // Matches are scattered over the e-graph; start reading the classes
      // that a later instantiation and union will touch.
      const SearchMatches& later = matches[m + kLookahead];
      egraph.prefetch_class(later.eclass);
      if (!later.substs.empty()) prefetch_instance(egraph, later.substs.front());
    }
    const SearchMatches& match = matches[m];
    for (const Subst& subst : match.substs) {
      const std::optional<Id> instance = instantiate_unless_held(egraph, subst, ids, match.eclass);
      if (instance && egraph.union_(*instance, match.eclass)) changed.push_back(*instance);
    }
  }
  return changed;
}

}  // namespace korvane::egraph
