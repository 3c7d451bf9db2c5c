#include "lsp_lexical.h"

#include <algorithm>
#include <array>

namespace qel::cli::lsp {

namespace {

using std::string_view;

constexpr string_view kTopFields[] = {"Contract", "Extensions"};
constexpr string_view kContractFields[] = {
    "Identity",           "PurposeStatement",     "DataSemantics",
    "BehavioralSemantics", "ExecutionConstraints", "HumanMachineContract"};
constexpr string_view kIdentityFields[] = {
    "stable_id", "version", "created_timestamp", "owner", "semantic_hash"};
constexpr string_view kPurposeFields[] = {"narrative", "intent_source",
                                          "confidence_level"};
constexpr string_view kDataFields[] = {"state", "invariants"};
constexpr string_view kBehaviorFields[] = {"operations"};
constexpr string_view kOperationFields[] = {
    "name",          "precondition", "parameters",
    "postcondition", "side_effects", "idempotence"};
constexpr string_view kConstraintFields[] = {
    "trigger_types", "resource_limits", "external_permissions",
    "sandbox_mode"};
constexpr string_view kLimitFields[] = {
    "max_memory_bytes", "computation_timeout_ms", "max_state_size_bytes"};
constexpr string_view kHumanMachineFields[] = {
    "system_commitments", "system_refusals", "user_obligations"};

constexpr string_view kTypeNames[] = {"Integer", "Float", "String",
                                      "Boolean", "ISO8601", "UUID",
                                      "Array",   "Map",   "Object",
                                      "Enum"};

struct Explanation {
  string_view name;
  string_view text;
};

// Field names are unique across blocks, so one table serves every block.
constexpr Explanation kExplanations[] = {
    {"Contract", "The contract: its six sections, in this order."},
    {"Extensions",
     "Free-form systems of named values; part of the semantic hash."},
    {"Identity", "Who the contract is: id, version, creation, owner, hash."},
    {"PurposeStatement", "Why the contract exists, and how sure its author is."},
    {"DataSemantics", "The typed state and the invariants it always keeps."},
    {"BehavioralSemantics", "The operations an agent may request."},
    {"ExecutionConstraints",
     "What may start an operation, its limits, permissions and sandbox."},
    {"HumanMachineContract",
     "What the system promises, refuses, and asks of its users."},
    {"stable_id",
     "The contract's stable id: [a-z0-9][a-z0-9-]{0,30}[a-z0-9]."},
    {"version", "The contract's version: an integer, 0 to 4294967295."},
    {"created_timestamp",
     "When the contract was created: an ISO 8601 timestamp."},
    {"owner", "Who answers for the contract: a team, a person, an address."},
    {"semantic_hash",
     "SHA-256 of the canonical form with this value blanked; normalize "
     "writes it."},
    {"narrative", "What the contract is for, in prose (500 characters at most)."},
    {"intent_source", "Where the intent comes from: a ticket, review or brief."},
    {"confidence_level",
     "How sure the author is of the intent: a float in [0.0, 1.0]."},
    {"state", "The state fields: name: Type [= default], one per field."},
    {"invariants",
     "Conditions every state must satisfy; checked after each request."},
    {"operations", "The operations, each a block with its name and clauses."},
    {"name", "The operation's name, as requests give it."},
    {"precondition",
     "A condition checked before the operation; it may read the inputs."},
    {"parameters", "The operation's inputs: name: Type, one per input."},
    {"postcondition",
     "A condition checked after the inputs are merged into the state."},
    {"side_effects", "What the operation does beyond the state, in prose."},
    {"idempotence", "Whether repeating the request changes anything, in prose."},
    {"trigger_types",
     "What may start an operation: manual, time_based, event_based."},
    {"resource_limits",
     "Memory, time and state size that one execution may use."},
    {"max_memory_bytes", "Memory one execution may use, in bytes (positive)."},
    {"computation_timeout_ms",
     "Time one execution may take, in milliseconds (positive)."},
    {"max_state_size_bytes", "Largest size of the state, in bytes (positive)."},
    {"external_permissions", "Outside systems the agent may use, by name."},
    {"sandbox_mode",
     "Isolation of an execution: full_isolation, restricted or none."},
    {"system_commitments", "What the system promises its users."},
    {"system_refusals", "What the system will never do."},
    {"user_obligations", "What the users must do in turn."},
};

template <size_t N>
std::span<const string_view> fields(const string_view (&names)[N]) {
  return std::span<const string_view>(names, N);
}

bool is_section_level(Block block) {
  return block == Block::kTop || block == Block::kContract;
}

}  // namespace

std::span<const string_view> block_fields(Block block) {
  switch (block) {
    case Block::kTop: return fields(kTopFields);
    case Block::kContract: return fields(kContractFields);
    case Block::kIdentity: return fields(kIdentityFields);
    case Block::kPurposeStatement: return fields(kPurposeFields);
    case Block::kDataSemantics: return fields(kDataFields);
    case Block::kBehavioralSemantics: return fields(kBehaviorFields);
    case Block::kOperation: return fields(kOperationFields);
    case Block::kExecutionConstraints: return fields(kConstraintFields);
    case Block::kResourceLimits: return fields(kLimitFields);
    case Block::kHumanMachineContract: return fields(kHumanMachineFields);
    default: return {};
  }
}

string_view field_explanation(string_view name) {
  for (const Explanation& e : kExplanations) {
    if (e.name == name) return e.text;
  }
  return {};
}

std::span<const string_view> type_names() { return fields(kTypeNames); }

LexicalView::LexicalView(string_view text) : text_(text) {
  frames_.push_back(Frame{Block::kTop, kNone, kNone, 0});
  std::vector<uint32_t> open{0};  // frames not yet closed, innermost last
  // For each kind of bracket, the depths in `open` of its unclosed frames,
  // innermost last: a closer finds its opener without searching the stack.
  std::array<std::vector<size_t>, 3> open_of;
  const auto bracket = [](char c) -> int {
    switch (c) {
      case '{': case '}': return 0;
      case '[': case ']': return 1;
      case '<': case '>': return 2;
      default: return -1;
    }
  };
  // Once one string runs to the end of the text unclosed, every later one
  // does too (each later quote was passed over as an escaped character, so
  // a scan from it follows the same path), and none is scanned again.
  bool strings_close = true;
  size_t p = skip_layout(text, 0);
  while (p < text.size()) {
    const char c = text[p];
    Lexeme l{Kind::kOther, true, 0, p, p + 1};
    if (c == '"') {
      l.kind = Kind::kString;
      const size_t end = strings_close ? string_end(text, p) : kNone;
      strings_close = end != kNone;
      l.end = strings_close ? end : line_end(text, p);
      l.closed = l.end > p + 1 && text[l.end - 1] == '"';
    } else if (c == '[') {
      l.kind = Kind::kPunct;  // a bracket, not the whole list
    } else {
      l.end = token_end(text, p);
      if (c >= '0' && c <= '9') {
        l.kind = Kind::kNumber;
      } else if (is_word_start(c)) {
        l.kind = Kind::kWord;
      } else if (string_view("{}<>]:,=").find(c) != string_view::npos) {
        l.kind = Kind::kPunct;
      }
    }
    lexemes_.push_back(l);
    const size_t i = lexemes_.size() - 1;
    const int kind = l.kind == Kind::kPunct ? bracket(c) : -1;
    if (kind >= 0 && (c == '{' || c == '[' || c == '<')) {
      const auto frame = static_cast<uint32_t>(frames_.size());
      frames_.push_back(
          Frame{classify(i, frames_[open.back()].block), i, kNone,
                open.back()});
      lexemes_[i].frame = frame;
      open_of[kind].push_back(open.size());
      open.push_back(frame);
    } else if (kind >= 0 && !open_of[kind].empty()) {
      // Closes the innermost frame it matches and every frame left open
      // inside it; a closer that matches none is passed over.
      const size_t depth = open_of[kind].back();
      while (open.size() > depth) {
        frames_[open.back()].close = i;
        open_of[bracket(text[lexemes_[frames_[open.back()].open].begin])]
            .pop_back();
        open.pop_back();
      }
    }
    p = skip_layout(text, l.end);
  }
}

bool LexicalView::is_punct(size_t i, char c) const {
  return i < lexemes_.size() && lexemes_[i].kind == Kind::kPunct &&
         text_[lexemes_[i].begin] == c;
}

bool LexicalView::is_word(size_t i, string_view word) const {
  return i < lexemes_.size() && lexemes_[i].kind == Kind::kWord &&
         text_of(lexemes_[i]) == word;
}

Block LexicalView::classify(size_t open, Block parent) const {
  const char c = text_[lexemes_[open].begin];
  if (c == '<') return Block::kTypeArguments;
  const size_t prev = open >= 1 ? open - 1 : kNone;
  const size_t key = open >= 2 && is_punct(prev, ':') ? open - 2 : kNone;
  if (c == '[') {
    if (is_word(key, "operations")) return Block::kOperations;
    if (is_word(key, "invariants")) return Block::kInvariants;
    return Block::kOther;
  }
  if (prev != kNone && lexemes_[prev].kind == Kind::kWord) {
    const string_view word = text_of(lexemes_[prev]);
    static constexpr std::array<std::pair<string_view, Block>, 9> kSections{{
        {"Contract", Block::kContract},
        {"Identity", Block::kIdentity},
        {"PurposeStatement", Block::kPurposeStatement},
        {"DataSemantics", Block::kDataSemantics},
        {"BehavioralSemantics", Block::kBehavioralSemantics},
        {"ExecutionConstraints", Block::kExecutionConstraints},
        {"HumanMachineContract", Block::kHumanMachineContract},
        {"Extensions", Block::kExtensions},
        {"Object", Block::kObjectType},
    }};
    for (const auto& [name, block] : kSections) {
      if (word == name) return block;
    }
    return parent == Block::kExtensions ? Block::kExtension : Block::kOther;
  }
  if (is_word(key, "state")) return Block::kState;
  if (is_word(key, "parameters")) return Block::kParameters;
  if (is_word(key, "resource_limits")) return Block::kResourceLimits;
  if (parent == Block::kOperations) return Block::kOperation;
  return Block::kOther;
}

size_t LexicalView::lexeme_before(size_t offset) const {
  const auto it = std::lower_bound(
      lexemes_.begin(), lexemes_.end(), offset,
      [](const Lexeme& l, size_t at) { return l.begin < at; });
  if (it == lexemes_.begin()) return kNone;
  return static_cast<size_t>(it - lexemes_.begin()) - 1;
}

uint32_t LexicalView::frame_at(size_t offset) const {
  uint32_t inner = 0;
  for (uint32_t f = 1; f < frames_.size(); ++f) {
    const Frame& frame = frames_[f];
    if (lexemes_[frame.open].begin >= offset) break;  // opened after it
    if (frame.close == kNone || lexemes_[frame.close].begin >= offset) {
      inner = f;
    }
  }
  return inner;
}

std::vector<string_view> LexicalView::keys_of(uint32_t frame,
                                              size_t except) const {
  const Frame& f = frames_[frame];
  const bool sections = is_section_level(f.block);
  const size_t first = f.open == kNone ? 0 : f.open + 1;
  const size_t last = f.close == kNone ? lexemes_.size() : f.close;
  std::vector<string_view> keys;
  for (size_t i = first; i < last; ++i) {
    const Lexeme& l = lexemes_[i];
    if (l.kind == Kind::kPunct && l.frame != 0) {
      // Nested brackets: nothing inside them is a key of this frame.
      const size_t close = frames_[l.frame].close;
      if (close == kNone) break;
      i = close;
      continue;
    }
    if (l.kind != Kind::kWord || i == except) continue;
    if (sections ? is_punct(i + 1, '{') : is_punct(i + 1, ':')) {
      keys.push_back(text_of(l));
    }
  }
  return keys;
}

std::optional<uint32_t> LexicalView::child_frame(uint32_t parent,
                                                 Block block) const {
  for (uint32_t f = parent + 1; f < frames_.size(); ++f) {
    if (frames_[f].parent == parent && frames_[f].block == block) return f;
  }
  return std::nullopt;
}

CompletionContext LexicalView::completion_at(size_t offset) const {
  CompletionContext context;
  context.word = ByteRange{offset, offset};
  const size_t at = lexeme_before(offset);
  const uint32_t frame = frame_at(offset);
  context.block = frames_[frame].block;
  if (at != kNone && lexemes_[at].kind == Kind::kString) {
    const Lexeme& s = lexemes_[at];
    const bool inside = offset < s.end || (!s.closed && offset == s.end);
    if (!inside) return context;
    size_t start = offset;
    while (start > s.begin + 1 && is_word_part(text_[start - 1])) --start;
    context.word = ByteRange{start, offset};
    const bool clause = is_punct(at - 1, ':') &&
                        (is_word(at - 2, "precondition") ||
                         is_word(at - 2, "postcondition"));
    const bool in_operation = context.block == Block::kOperation && clause;
    if (context.block != Block::kInvariants && !in_operation) return context;
    context.kind = CompletionContext::Kind::kConditionNames;
    for (uint32_t f = 1; f < frames_.size(); ++f) {
      if (frames_[f].block == Block::kState &&
          frames_[frames_[f].parent].block == Block::kDataSemantics) {
        for (string_view k : keys_of(f)) context.state.emplace_back(k);
        break;
      }
    }
    if (in_operation) {
      if (const auto params = child_frame(frame, Block::kParameters)) {
        for (string_view k : keys_of(*params)) {
          context.parameters.emplace_back(k);
        }
      }
    }
    return context;
  }
  // The word being typed, if the position ends or splits one.
  size_t typed = kNone;
  size_t prev = at;
  if (at != kNone && lexemes_[at].kind == Kind::kWord &&
      offset <= lexemes_[at].end) {
    typed = at;
    prev = at == 0 ? kNone : at - 1;
    context.word = ByteRange{lexemes_[at].begin, offset};
  }
  const bool after_colon = prev != kNone && is_punct(prev, ':');
  const Block block = context.block;
  if (block == Block::kTypeArguments ||
      (after_colon && (block == Block::kState || block == Block::kParameters ||
                       block == Block::kObjectType))) {
    context.kind = CompletionContext::Kind::kTypes;
    return context;
  }
  const std::span<const string_view> names = block_fields(block);
  if (after_colon || names.empty()) return context;
  // A section keyword is completed only where a key may start.
  const std::vector<string_view> present = keys_of(frame, typed);
  context.kind = CompletionContext::Kind::kFields;
  for (string_view name : names) {
    if (std::find(present.begin(), present.end(), name) == present.end()) {
      context.missing.emplace_back(name);
    }
  }
  return context;
}

std::optional<FieldKey> LexicalView::field_key_at(size_t offset) const {
  const size_t at = lexeme_before(offset + 1);
  if (at == kNone || lexemes_[at].kind != Kind::kWord ||
      offset > lexemes_[at].end) {
    return std::nullopt;
  }
  const Lexeme& l = lexemes_[at];
  const uint32_t frame = frame_at(l.begin);
  const Block block = frames_[frame].block;
  const bool key = is_section_level(block) ? is_punct(at + 1, '{')
                                           : is_punct(at + 1, ':');
  if (!key) return std::nullopt;
  const string_view name = text_of(l);
  const std::span<const string_view> names = block_fields(block);
  if (std::find(names.begin(), names.end(), name) == names.end()) {
    return std::nullopt;
  }
  return FieldKey{block, name, ByteRange{l.begin, l.end}};
}

}  // namespace qel::cli::lsp
