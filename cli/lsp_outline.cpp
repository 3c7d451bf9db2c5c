#include "lsp_outline.h"

#include <optional>
#include <unordered_map>
#include <utility>

#include "qel/canonical.h"
#include "qel/parser.h"
#include "qel/syntax_tree.h"

namespace qel::cli::lsp {

namespace {

using NameMap = std::unordered_map<std::string_view, size_t>;

class Builder {
 public:
  // `tree` was parsed from the text after its first `body` bytes.
  Builder(std::string_view text, size_t body, const SyntaxTree& tree)
      : text_(text), body_(body), tree_(tree) {}

  Outline build() {
    const syntax::Contract c = tree_.contract();
    Outline out;
    add_sections(c, out);
    for (const syntax::StateField f : c.data_semantics().state()) {
      out.state.push_back(declaration(f));
    }
    NameMap state;
    for (size_t i = 0; i < out.state.size(); ++i) {
      state.emplace(out.state[i].name, i);  // the first of a repeated name
    }
    for (const syntax::Text invariant : c.data_semantics().invariants()) {
      out.conditions.push_back(condition(Condition::Clause::kInvariant, -1,
                                         invariant, state, nullptr));
    }
    int id = 0;
    for (const syntax::Operation node : c.behavioral_semantics().operations()) {
      Operation op;
      op.name = node.name().text();
      op.name_range = range(node.name().token());
      op.range = range(node.first_token(), node.last_token());
      NameMap parameters;
      for (const syntax::StateField p : node.parameters()) {
        parameters.emplace(p.name(), op.parameters.size());
        op.parameters.push_back(declaration(p));
      }
      out.conditions.push_back(condition(Condition::Clause::kPrecondition, id,
                                         node.precondition(), state,
                                         &parameters));
      out.conditions.push_back(condition(Condition::Clause::kPostcondition,
                                         id, node.postcondition(), state,
                                         &parameters));
      out.operations.push_back(std::move(op));
      ++id;
    }
    if (const std::optional<syntax::Extensions> ext = c.extensions()) {
      for (const syntax::SystemExtension system : ext->systems()) {
        Extension e;
        e.name = system.name();
        e.name_range = range(system.first_token());
        e.range = range(system.first_token(), system.last_token());
        for (const syntax::CustomField field : system.fields()) {
          const syntax::Literal value = field.value();
          e.fields.push_back(ExtensionField{
              std::string(field.name()), range(field.first_token()),
              range(field.first_token(), value.last_token())});
        }
        out.extensions.push_back(std::move(e));
      }
    }
    const syntax::Text hash = c.identity().semantic_hash();
    out.semantic_hash = range(hash.token());
    out.written_hash = hash.text();
    out.computed_hash = compute_semantic_hash(tree_);
    out.canonical = serialize_canonical(tree_);
    return out;
  }

 private:
  // The bytes of tokens `first` through `last` in the whole text.
  ByteRange range(uint32_t first, uint32_t last) const {
    return ByteRange{body_ + tree_.token_offset(first),
                     body_ + tree_.token_end(last)};
  }
  ByteRange range(uint32_t token) const { return range(token, token); }

  // The parser has already bounded the nesting of Object types, so this
  // recursion is bounded too.
  Declaration declaration(const syntax::StateField& field) const {
    Declaration d;
    d.name = field.name();
    const syntax::Type type = field.type();
    d.type = type.text();
    d.name_range = range(field.first_token());
    size_t end = range(type.last_token()).end;
    if (const std::optional<syntax::Literal> value = field.default_value()) {
      const ByteRange written = range(value->first_token(), value->last_token());
      d.default_text = std::string(text_.substr(written.begin, written.size()));
      end = written.end;
    }
    d.range = ByteRange{d.name_range.begin, end};
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
    c.range = range(written.token());
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

  void add_sections(const syntax::Contract& c, Outline& out) const {
    const auto add = [&](std::string name, const syntax::Node& node) {
      out.sections.push_back(Section{std::move(name),
                                     range(node.first_token()),
                                     range(node.first_token(), node.last_token()),
                                     {}});
    };
    add("Contract", c);
    add("Identity", c.identity());
    add("PurposeStatement", c.purpose_statement());
    add("DataSemantics", c.data_semantics());
    add("BehavioralSemantics", c.behavioral_semantics());
    add("ExecutionConstraints", c.execution_constraints());
    add("HumanMachineContract", c.human_machine_contract());
    for (size_t i = 1; i < out.sections.size(); ++i) {
      out.sections[0].children.push_back(i);
    }
    if (const std::optional<syntax::Extensions> ext = c.extensions()) {
      add("Extensions", *ext);
    }
  }

  std::string_view text_;
  size_t body_;
  const SyntaxTree& tree_;
};

}  // namespace

std::optional<Outline> build_outline(std::string_view text, size_t body) {
  const Result<SyntaxTree> tree = parse_tree(text.substr(body));
  if (!tree.ok()) return std::nullopt;
  return Builder(text, body, *tree).build();
}

}  // namespace qel::cli::lsp
