#include "lsp_outline.h"

#include <unordered_map>
#include <utility>

#include "qel/ast.h"
#include "qel/canonical.h"
#include "qel/parser.h"

namespace qel::cli::lsp {

namespace {

using NameMap = std::unordered_map<std::string_view, size_t>;

class Builder {
 public:
  Builder(std::string_view text, size_t body)
      : text_(text), index_(text, body) {}

  Outline build(ContractNode tree) {
    Outline out;
    add_sections(tree, out);
    for (const StateFieldNode& f : tree.data_semantics.state) {
      out.state.push_back(declaration(f));
    }
    NameMap state;
    for (size_t i = 0; i < out.state.size(); ++i) {
      state.emplace(out.state[i].name, i);  // the first of a repeated name
    }
    for (const SpannedText& invariant : tree.data_semantics.invariants) {
      out.conditions.push_back(condition(Condition::Clause::kInvariant, -1,
                                         invariant, state, nullptr));
    }
    const auto& operations = tree.behavioral_semantics.operations;
    for (size_t k = 0; k < operations.size(); ++k) {
      const OperationNode& node = operations[k];
      Operation op;
      op.name = node.name.value;
      op.name_range = literal(node.name.span);
      const size_t brace = at(node.span);
      op.range = ByteRange{brace, balanced_end(text_, brace)};
      NameMap parameters;
      for (const StateFieldNode& p : node.parameters) {
        parameters.emplace(p.name.value, op.parameters.size());
        op.parameters.push_back(declaration(p));
      }
      const int id = static_cast<int>(k);
      out.conditions.push_back(condition(Condition::Clause::kPrecondition, id,
                                         node.precondition, state,
                                         &parameters));
      out.conditions.push_back(condition(Condition::Clause::kPostcondition,
                                         id, node.postcondition, state,
                                         &parameters));
      out.operations.push_back(std::move(op));
    }
    if (tree.extensions) {
      for (const SystemExtensionNode& system : tree.extensions->systems) {
        Extension e;
        e.name = system.name.value;
        e.name_range = word(system.name.span);
        e.range = ByteRange{e.name_range.begin, block_end(e.name_range.end)};
        for (const CustomFieldNode& field : system.fields) {
          const ByteRange name = word(field.name.span);
          e.fields.push_back(ExtensionField{
              field.name.value, name,
              ByteRange{name.begin, literal(field.value.span).end}});
        }
        out.extensions.push_back(std::move(e));
      }
    }
    const SpannedText& hash = tree.identity.semantic_hash;
    out.semantic_hash = literal(hash.span);
    out.written_hash = hash.value;
    // The tree is not needed past this point: sorting it in place for the
    // canonical form saves a copy of a possibly large contract.
    const ContractNode normalized = normalize_ast(std::move(tree));
    out.computed_hash = normalized.identity.semantic_hash.value;
    out.canonical = serialize_canonical(normalized);
    return out;
  }

 private:
  size_t at(const Span& span) const {
    return index_.offset_of_finding(span.line, span.column);
  }
  ByteRange literal(const Span& span) const {
    const size_t begin = at(span);
    return ByteRange{begin, token_end(text_, begin)};
  }
  ByteRange word(const Span& span) const { return literal(span); }

  // The end of the braces that follow `from`, or `from` when none do.
  size_t block_end(size_t from) const {
    const size_t open = skip_layout(text_, from);
    if (open >= text_.size() || text_[open] != '{') return from;
    return balanced_end(text_, open);
  }

  // The end of a type written at `span`: its keyword, and the brackets
  // that belong to it.
  size_t type_end(const TypeExpression& type) const {
    const size_t keyword_end = token_end(text_, at(type.span));
    char open = 0;
    switch (type.kind) {
      case TypeExpression::Kind::kArray:
      case TypeExpression::Kind::kMap: open = '<'; break;
      case TypeExpression::Kind::kObject: open = '{'; break;
      case TypeExpression::Kind::kEnum: open = '['; break;
      case TypeExpression::Kind::kPrimitive: return keyword_end;
    }
    const size_t p = skip_layout(text_, keyword_end);
    if (p >= text_.size() || text_[p] != open) return keyword_end;
    return balanced_end(text_, p);
  }

  // The parser has already bounded the nesting of Object types, so this
  // recursion is bounded too.
  Declaration declaration(const StateFieldNode& field) const {
    Declaration d;
    d.name = field.name.value;
    d.type = field.type.text();
    d.name_range = word(field.name.span);
    size_t end = type_end(field.type);
    if (field.default_value) {
      const ByteRange value = literal(field.default_value->span);
      d.default_text = std::string(text_.substr(value.begin, value.size()));
      end = value.end;
    }
    d.range = ByteRange{d.name_range.begin, end};
    if (field.type.kind == TypeExpression::Kind::kObject) {
      for (const StateFieldNode& f : field.type.fields) {
        d.fields.push_back(declaration(f));
      }
    }
    return d;
  }

  static void resolve(std::string_view name, const NameMap& state,
                      const NameMap* parameters, std::vector<Target>& out,
                      int operation) {
    if (parameters != nullptr) {
      if (auto it = parameters->find(name); it != parameters->end()) {
        out.push_back(Target{operation, it->second});
      }
    }
    if (auto it = state.find(name); it != state.end()) {
      out.push_back(Target{-1, it->second});
    }
  }

  // Names are read from the literal as written, so that each use has its
  // exact range; escape sequences are passed over.
  Condition condition(Condition::Clause clause, int operation,
                      const SpannedText& written, const NameMap& state,
                      const NameMap* parameters) const {
    Condition c;
    c.clause = clause;
    c.operation = operation;
    c.range = literal(written.span);
    const size_t end = c.range.end > c.range.begin + 1 ? c.range.end - 1
                                                       : c.range.end;
    size_t p = c.range.begin + 1;
    while (p < end) {
      const char ch = text_[p];
      if (ch == '\\') {
        p += 2;
        continue;
      }
      if (!is_word_start(ch)) {
        ++p;
        continue;
      }
      size_t q = p;
      while (q < end && is_word_part(text_[q])) ++q;
      add_use(ByteRange{p, q}, state, parameters, operation, c);
      p = q;
    }
    return c;
  }

  // A word as the scanner reads it may join names with '-', which
  // conditions use as a minus: "a-b" names a and b unless it is a name
  // itself.
  void add_use(ByteRange range, const NameMap& state,
               const NameMap* parameters, int operation, Condition& c) const {
    NameUse use{range, {}};
    resolve(text_.substr(range.begin, range.size()), state, parameters,
            use.targets, operation);
    if (!use.targets.empty()) {
      c.names.push_back(std::move(use));
      return;
    }
    size_t p = range.begin;
    while (p < range.end) {
      size_t q = p;
      while (q < range.end && text_[q] != '-') ++q;
      if (q > p && is_word_start(text_[p])) {
        NameUse part{ByteRange{p, q}, {}};
        resolve(text_.substr(p, q - p), state, parameters, part.targets,
                operation);
        if (!part.targets.empty()) c.names.push_back(std::move(part));
      }
      p = q + 1;
    }
  }

  void add_sections(const ContractNode& tree, Outline& out) const {
    const auto add = [&](std::string name, const Span& span) {
      const ByteRange keyword = word(span);
      out.sections.push_back(Section{
          std::move(name), keyword,
          ByteRange{keyword.begin, block_end(keyword.end)}, {}});
    };
    add("Contract", tree.span);
    add("Identity", tree.identity.span);
    add("PurposeStatement", tree.purpose_statement.span);
    add("DataSemantics", tree.data_semantics.span);
    add("BehavioralSemantics", tree.behavioral_semantics.span);
    add("ExecutionConstraints", tree.execution_constraints.span);
    add("HumanMachineContract", tree.human_machine_contract.span);
    for (size_t i = 1; i < out.sections.size(); ++i) {
      out.sections[0].children.push_back(i);
    }
    if (tree.extensions) add("Extensions", tree.extensions->span);
  }

  std::string_view text_;
  LineIndex index_;
};

}  // namespace

std::optional<Outline> build_outline(std::string_view text, size_t body) {
  Result<ContractNode> tree = parse(text.substr(body));
  if (!tree.ok()) return std::nullopt;
  return Builder(text, body).build(std::move(tree).value());
}

}  // namespace qel::cli::lsp
