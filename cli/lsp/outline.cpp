#include "lsp/outline.h"

#include <unordered_map>
#include <utility>

#include "qel/canonical.h"
#include "qel/format.h"
#include "qel/token.h"

namespace qel::cli::lsp {

namespace {

using NameMap = std::unordered_map<std::string_view, size_t>;

bool is_word_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool is_word_part(char c) {
  return is_word_start(c) || (c >= '0' && c <= '9') || c == '-';
}

template <typename Field>
bool has(const syntax::Node& node, Field field) {
  return node.has_field(static_cast<uint8_t>(field));
}

// Reads the syntax tree, whose offsets count from the contract's start,
// into ranges of the document, which may have a byte order mark first.
// Error nodes are passed over: every part that parsed is read.
class Builder {
 public:
  Builder(const SyntaxTree& tree, size_t body)
      : tree_(tree), text_(tree.source()), body_(body) {}

  Outline build(bool complete) {
    Outline out;
    const syntax::ContractNode contract = tree_.contract();
    add_sections(contract, out);
    NameMap state;
    if (const auto node = contract.section(NodeKind::kDataSemantics)) {
      const syntax::DataSemantics data(tree_, node->index());
      if (has(data, syntax::DataField::kState)) {
        for (const syntax::StateField f : data.state()) {
          out.state.push_back(declaration(f));
        }
      }
      for (size_t i = 0; i < out.state.size(); ++i) {
        state.emplace(out.state[i].name, i);  // the first of a repeated name
      }
      if (has(data, syntax::DataField::kInvariants)) {
        for (const syntax::Text invariant : data.invariants()) {
          out.conditions.push_back(condition(Condition::Clause::kInvariant,
                                             -1, invariant, state, nullptr));
        }
      }
    }
    if (const auto node = contract.section(NodeKind::kBehavioralSemantics)) {
      add_operations(syntax::BehavioralSemantics(tree_, node->index()), state,
                     out);
    }
    if (const std::optional<syntax::Extensions> extensions =
            contract.extensions()) {
      for (const syntax::SystemExtension system : extensions->systems()) {
        Extension e;
        e.name = system.name();
        e.name_range = tokens(system.first_token(), system.first_token());
        e.range = tokens(system.first_token(), system.last_token());
        for (const syntax::CustomField field : system.fields()) {
          e.fields.push_back(ExtensionField{
              std::string(field.name()),
              tokens(field.first_token(), field.first_token()),
              tokens(field.first_token(), field.value().last_token())});
        }
        out.extensions.push_back(std::move(e));
      }
    }
    if (const auto node = contract.section(NodeKind::kIdentity)) {
      const syntax::Identity identity(tree_, node->index());
      if (has(identity, syntax::IdentityField::kSemanticHash)) {
        const syntax::Text hash = identity.semantic_hash();
        out.semantic_hash = tokens(hash.token(), hash.token());
        out.written_hash = hash.text();
      }
    }
    out.complete = complete;
    if (complete) {
      out.computed_hash = compute_semantic_hash(tree_);
      // No action that would leave a text which does not parse.
      if (!canonical_limit(tree_)) out.canonical = serialize_canonical(tree_);
    }
    return out;
  }

 private:
  // The document's bytes from the first token's start to the last's end.
  ByteRange tokens(uint32_t first, uint32_t last) const {
    return ByteRange{body_ + tree_.token_offset(first),
                     body_ + tree_.token_end(last)};
  }
  std::string_view source(ByteRange r) const {
    return text_.substr(r.begin - body_, r.size());
  }

  void add_operations(const syntax::BehavioralSemantics& behavior,
                      const NameMap& state, Outline& out) const {
    using F = syntax::OperationField;
    int id = 0;
    for (const syntax::OperationNode node : behavior.operations()) {
      OutlinedOperation op;
      // An operation whose name did not parse is outlined by its brace.
      if (has(node, F::kName)) {
        op.name = node.name().text();
        op.name_range = tokens(node.name().token(), node.name().token());
      } else {
        op.name_range = tokens(node.first_token(), node.first_token());
      }
      op.range = tokens(node.first_token(), node.last_token());
      NameMap parameters;
      if (has(node, F::kParameters)) {
        for (const syntax::StateField p : node.parameters()) {
          parameters.emplace(p.name(), op.parameters.size());
          op.parameters.push_back(declaration(p));
        }
      }
      if (has(node, F::kPrecondition)) {
        out.conditions.push_back(condition(Condition::Clause::kPrecondition,
                                           id, node.precondition(), state,
                                           &parameters));
      }
      if (has(node, F::kPostcondition)) {
        out.conditions.push_back(condition(Condition::Clause::kPostcondition,
                                           id, node.postcondition(), state,
                                           &parameters));
      }
      out.operations.push_back(std::move(op));
      ++id;
    }
  }

  // The parser has already bounded the nesting of Object types, so this
  // recursion is bounded too.
  Declaration declaration(const syntax::StateField& field) const {
    Declaration d;
    d.name = field.name();
    const syntax::Type type = field.type();
    d.type = type.text();
    d.name_range = tokens(field.first_token(), field.first_token());
    d.range = tokens(field.first_token(), field.last_token());
    if (const std::optional<syntax::Literal> value = field.default_value()) {
      d.default_text = std::string(
          source(tokens(value->first_token(), value->last_token())));
    }
    if (type.kind() == syntax::Type::Kind::kObject) {
      for (const syntax::StateField f : type.fields()) {
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
                      const syntax::Text& written, const NameMap& state,
                      const NameMap* parameters) const {
    Condition c;
    c.clause = clause;
    c.operation = operation;
    c.range = tokens(written.token(), written.token());
    const std::string_view literal = source(c.range);
    // A bare timestamp has no quotes; a quoted text has one at each end.
    const bool quoted = !literal.empty() && literal.front() == '"';
    const size_t begin = c.range.begin + (quoted ? 1 : 0);
    const size_t end = c.range.end - (quoted && literal.size() > 1 ? 1 : 0);
    size_t p = begin;
    while (p < end) {
      const char ch = text_[p - body_];
      if (ch == '\\') {
        p += 2;
        continue;
      }
      if (!is_word_start(ch)) {
        ++p;
        continue;
      }
      size_t q = p;
      while (q < end && is_word_part(text_[q - body_])) ++q;
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
    resolve(source(range), state, parameters, use.targets, operation);
    if (!use.targets.empty()) {
      c.names.push_back(std::move(use));
      return;
    }
    size_t p = range.begin;
    while (p < range.end) {
      size_t q = p;
      while (q < range.end && text_[q - body_] != '-') ++q;
      if (q > p && is_word_start(text_[p - body_])) {
        NameUse part{ByteRange{p, q}, {}};
        resolve(source(ByteRange{p, q}), state, parameters, part.targets,
                operation);
        if (!part.targets.empty()) c.names.push_back(std::move(part));
      }
      p = q + 1;
    }
  }

  Section section(const syntax::Node& node) const {
    return Section{std::string(tree_.token_text(node.first_token())),
                   tokens(node.first_token(), node.first_token()),
                   tokens(node.first_token(), node.last_token())};
  }

  // Every section the parse finished, in the order written; a section
  // with an error inside is one, one that broke off before its brace is
  // not.
  void add_sections(const syntax::ContractNode& contract, Outline& out) const {
    if (tree_.token_kind(contract.first_token()) == TokenKind::kContract) {
      out.contract = section(contract);
    }
    for (const syntax::Node child : contract.children()) {
      out.sections.push_back(section(child));
    }
    if (const auto extensions = contract.extensions()) {
      out.extensions_section = section(*extensions);
    }
  }

  const SyntaxTree& tree_;
  std::string_view text_;  // the contract, without a byte order mark
  size_t body_;
};

}  // namespace

Outline build_outline(const SyntaxTree& tree, size_t body, bool complete) {
  return Builder(tree, body).build(complete);
}

}  // namespace qel::cli::lsp
