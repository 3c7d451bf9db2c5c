// Writing values, states and the execution result as pretty-printed JSON,
// straight into one buffer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "executor/result_writer.h"
#include "executor/prepared.h"
#include "qel/executor.h"
#include "util/simd_scan.h"

namespace qel {

namespace {

// A comma, a line feed and enough spaces for any indentation the result
// reaches in practice; deeper lines are padded in pieces. Member separators
// and line starts are each one append from it.
constexpr std::size_t kSpaces = 512;
struct SeparatorText {
  char text[2 + kSpaces];
  constexpr SeparatorText() : text() {
    text[0] = ',';
    text[1] = '\n';
    for (std::size_t i = 2; i < 2 + kSpaces; ++i) text[i] = ' ';
  }
};
constexpr SeparatorText kSeparator;

// Bytes written between two questions to the interrupter: about a
// millisecond of writing, a fraction of a percent of it in checks.
constexpr std::size_t kBytesPerPoll = std::size_t{1} << 20;
// Bytes moved at once when the whole text is shifted: moving into fresh
// memory costs mostly the faults that bring it in, tens of milliseconds for
// a few megabytes on a busy machine.
constexpr std::size_t kBytesPerMove = std::size_t{4} << 20;

// A fixed member name as written: quoted, then ": ". Made at compile time,
// so that writing one is a single copy with no escaping to look for.
template <std::size_t N>
struct QuotedKey {
  char text[N + 3] = {};
  consteval QuotedKey(const char (&name)[N]) {
    text[0] = '"';
    for (std::size_t i = 0; i + 1 < N; ++i) text[i + 1] = name[i];
    text[N] = '"';
    text[N + 1] = ':';
    text[N + 2] = ' ';
  }
  constexpr std::string_view view() const { return {text, N + 3}; }
};

constexpr QuotedKey kContractIdKey("contract_id");
constexpr QuotedKey kSuccessKey("success");
constexpr QuotedKey kOperationsKey("operations");
constexpr QuotedKey kFinalStateKey("final_state");
constexpr QuotedKey kProvenanceKey("provenance");
constexpr QuotedKey kEntriesKey("entries");
constexpr QuotedKey kErrorKey("error");
constexpr QuotedKey kOperationKey("operation");
constexpr QuotedKey kStateKey("state");
constexpr QuotedKey kSequenceKey("sequence");
constexpr QuotedKey kInputsKey("inputs");
constexpr QuotedKey kStateBeforeKey("state_before");
constexpr QuotedKey kStateAfterKey("state_after");
constexpr QuotedKey kChangesKey("changes");
constexpr QuotedKey kFieldKey("field");
constexpr QuotedKey kOldValueKey("old_value");
constexpr QuotedKey kNewValueKey("new_value");
constexpr QuotedKey kPostconditionsKey("postconditions_verified");
constexpr QuotedKey kInvariantsKey("invariants_verified");

// Whether two values are written as the same text: equal, with floats
// equal bit for bit (0.0 and -0.0 are written apart, a NaN like itself).
// Deeper than `depth` levels it answers no, and the value is written anew.
bool same_text(const Value& a, const Value& b, int depth) {
  if (a.kind() != b.kind() || depth < 0) return false;
  switch (a.kind()) {
    case Value::Kind::kNull: return true;
    case Value::Kind::kBoolean: return a.as_boolean() == b.as_boolean();
    case Value::Kind::kInteger: return a.as_integer() == b.as_integer();
    case Value::Kind::kFloat: {
      const double x = a.as_float();
      const double y = b.as_float();
      return std::memcmp(&x, &y, sizeof x) == 0;
    }
    case Value::Kind::kString: return a.as_string() == b.as_string();
    case Value::Kind::kArray: {
      const Value::Array& x = a.as_array();
      const Value::Array& y = b.as_array();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!same_text(x[i], y[i], depth - 1)) return false;
      }
      return true;
    }
    case Value::Kind::kObject: {
      const Value::Object& x = a.as_object();
      const Value::Object& y = b.as_object();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i].first != y[i].first ||
            !same_text(x[i].second, y[i].second, depth - 1)) {
          return false;
        }
      }
      return true;
    }
  }
  return false;
}

// The byte-wise order of two names, most told apart by their first byte
// without a call to compare the rest.
int compare_names(std::string_view a, std::string_view b) {
  if (!a.empty() && !b.empty() && a[0] != b[0]) {
    return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0])
               ? -1
               : 1;
  }
  return a.compare(b);
}

// Nesting beyond this is rare in a state; comparing it is left undone.
constexpr int kMaxComparedDepth = 16;

bool same_text(const ExecutionState& a, const ExecutionState& b) {
  if (a.same_fields_as(b)) return true;
  const ExecutionState::Fields& x = a.fields();
  const ExecutionState::Fields& y = b.fields();
  if (x.size() != y.size()) return false;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (x[i].first != y[i].first ||
        !same_text(x[i].second, y[i].second, kMaxComparedDepth)) {
      return false;
    }
  }
  return true;
}

// Room past the end of a reindented copy that it may overwrite (and then
// give back): lines are copied in whole vectors.
constexpr std::size_t kCopySlack = 32;

// Copies [p, end), written at indentation `from`, to `dst` as if written at
// `to`: each line feed's `from` spaces become `to`. Line feeds in such text
// are all structural (strings escape theirs), and each is followed by at
// least `from` spaces. Returns the end of the copy; up to kCopySlack bytes
// past it may have been written. States are copied this way a few times
// per request, and their lines are short: a vector at a time beats a call
// to find each line feed and two more to copy the line and its indentation.
char* reindent_lines(const char* p, const char* const end, char* dst,
                     std::size_t from, std::size_t to) {
  while (p < end) {
#if QEL_HAVE_X86_SIMD
    if (end - p >= 16) {
      using detail::Sse2Scan;
      const __m128i bytes = Sse2Scan::load(p);
      const unsigned feeds =
          Sse2Scan::mask(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), bytes);
      if (feeds == 0) {
        p += 16;
        dst += 16;
        continue;
      }
      const auto before = static_cast<std::size_t>(__builtin_ctz(feeds));
      p += before;
      dst += before;
    } else
#endif
    {
      const char* nl = static_cast<const char*>(
          std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
      const char* const line_end = nl == nullptr ? end : nl;
      std::memcpy(dst, p, static_cast<std::size_t>(line_end - p));
      dst += line_end - p;
      p = line_end;
      if (nl == nullptr) break;
    }
    // At a line feed.
    *dst++ = '\n';
    if (to <= kCopySlack) {
      std::memcpy(dst, kSeparator.text + 2, kCopySlack);  // one fixed store
    } else if (to <= kSpaces) {
      std::memcpy(dst, kSeparator.text + 2, to);
    } else {
      std::memset(dst, ' ', to);
    }
    dst += to;
    p += 1 + from;
  }
  return dst;
}

}  // namespace

namespace detail {

// Writes the execution result. The same state often appears several times
// in a row (an operation's state, then as state_after, then as the next
// entry's state_before) and every provenance entry appears twice with the
// same indentation (in its operation and in the log), so texts already
// written are copied rather than rendered again.
class ResultWriter {
 public:
  explicit ResultWriter(Output& out, const Interrupter& interrupter = {})
      : out_(out),
        poll_(interrupter, 1),
        next_poll_(interrupter.check == nullptr ? SIZE_MAX : kBytesPerPoll) {}

  // Each value starts where the cursor is; `indent` is the indentation of
  // the line it starts on, and its members go one level (two spaces) deeper.
  void value(const Value& v, std::size_t indent);
  void json(const Json& v, std::size_t indent);
  void state(const ExecutionState& s, std::size_t indent);
  void entry(const ProvenanceEntry& e, std::size_t indent);
  void operation_result(const OperationResult& r, std::size_t indent);
  void execution_result(const ExecutionResult& r);

  // The result as its requests run: room for the members before the
  // operations (`room` bytes, their text with "success": true), which hold
  // the success flag known only at the end; each operation; then the rest,
  // the log copied from the operations' text, and the members before the
  // operations (`head`) put in their place.
  void begin_stream(std::size_t room);
  [[nodiscard]] bool next_operation(const OperationResult& r);
  [[nodiscard]] bool end_stream(std::size_t room, std::string_view head,
                                const ExecutionState& final_state,
                                const std::optional<std::string>& error);

  // States with the very fields of `s` are copied from `text`, written at
  // `indent` outside the output, which must outlive the writer.
  void known_state(const ExecutionState& s, std::string_view text,
                   std::size_t indent);
  // States written anew copy each field that holds the value it has in
  // `initial` from prepared.initial_state_text. Both must outlive the
  // writer.
  void initial_fields(const Prepared& prepared, const ExecutionState& initial) {
    prepared_ = &prepared;
    initial_ = &initial;
  }
  // Notes in `texts` where each field of the next state written anew
  // lies in the output.
  void record_fields(FieldTexts* texts) { record_ = texts; }

  // The members before the operations.
  void result_head(std::string_view contract_id, bool success);

  // Whether the interrupter has said stop.
  bool stopped() const { return poll_.stopped(); }

 private:
  struct StateText {
    // Kept so that its fields stay put while they are compared by address;
    // empty in a slot not yet used.
    std::optional<ExecutionState> state;
    std::size_t indent = 0;
    // The text: `length` bytes at `offset` in the output, or at `external`.
    const char* external = nullptr;
    std::size_t offset = 0;
    std::size_t length = 0;
  };
  struct EntryText {
    std::size_t indent = 0;
    std::size_t offset = 0;
    std::size_t length = 0;
  };

  // A line break to `indent`, after a comma when `comma` is set.
  void newline(std::size_t indent, bool comma = false) {
    // Most lines are shallow: a store of fixed size, of which the line
    // break's part is kept, beats a copy of variable size.
    constexpr std::size_t kShort = 32;
    if (indent + 2 <= kShort) {
      std::memcpy(out_.room(kShort), kSeparator.text + (comma ? 0 : 1), kShort);
      out_.advance((comma ? 2 : 1) + indent);
      return;
    }
    if (indent <= kSpaces) {
      out_.append(kSeparator.text + (comma ? 0 : 1), (comma ? 2 : 1) + indent);
      return;
    }
    if (comma) out_ += ',';
    out_ += '\n';
    out_.append(indent, ' ');
  }
  // A member's key on its own line: `first` tells whether a comma is due.
  void key(std::string_view name, std::size_t indent, bool first) {
    newline(indent, !first);
    append_json_string(out_, name);
    out_.append(": ", 2);
  }
  template <std::size_t N>
  void key(const QuotedKey<N>& name, std::size_t indent, bool first) {
    newline(indent, !first);
    out_.append(name.view());
  }
  void literal(std::string_view text) { out_.append(text); }
  void boolean(bool b) { literal(b ? "true" : "false"); }
  void optional_string(const std::optional<std::string>& s) {
    if (s.has_value()) {
      append_json_string(out_, *s);
    } else {
      literal("null");
    }
  }
  void state_fields(const ExecutionState::Fields& fields, std::size_t indent);
  // The fields of a state written anew (see initial_fields, record_fields).
  void new_state(const ExecutionState::Fields& fields, std::size_t indent);
  // Makes room for about `expected` more bytes.
  void grow_for(std::size_t expected);

  // The parts of the result around its operations and log entries.
  void end_operations(const ExecutionState& final_state);
  // Writes the next log entry with `write`; false when stopping.
  template <typename Write>
  bool next_log_entry(std::size_t index, Write&& write);
  void end_result(std::size_t log_size,
                  const std::optional<std::string>& error);
  // Appends out_[offset, offset + length) (or, when `external` is set,
  // external[offset, offset + length)), written at indentation `from`, as
  // if written at indentation `to`. Line feeds in the text are all
  // structural (strings escape theirs), and each is followed by at least
  // `from` spaces.
  void copy_reindented(const char* external, std::size_t offset,
                       std::size_t length, std::size_t from, std::size_t to);

  // Whether the interrupter has said stop; asked once per kBytesPerPoll
  // bytes written. Loops over members and elements check it and return, so
  // that a stop unwinds the writer within one element.
  bool stopping() { return out_.size() >= next_poll_ && ask(); }
  bool ask() {
    // Once stopped, every later check comes here and answers at once.
    if (poll_.ask()) {
      next_poll_ = 0;
      return true;
    }
    if (next_poll_ != SIZE_MAX) next_poll_ = out_.size() + kBytesPerPoll;
    return false;
  }

  Output& out_;
  InterruptPoll poll_;
  // The size at which to ask next; SIZE_MAX when there is no one to ask.
  std::size_t next_poll_;
  std::size_t operations_ = 0;  // operations written
  std::size_t last_size_ = 0;   // the size of the operation or entry last written
  // The states written last, by any route.
  static constexpr std::size_t kRecentStates = 3;
  StateText recent_[kRecentStates];
  std::size_t next_recent_ = 0;
  // Where each entry was first written; only looked up, never iterated.
  std::unordered_map<const ProvenanceEntry*, EntryText> entries_;
  // When streaming, entries are let go once written, so their addresses
  // may come again: each is kept here in order instead, for the log.
  bool streaming_ = false;
  std::vector<EntryText> streamed_;
  const Prepared* prepared_ = nullptr;
  const ExecutionState* initial_ = nullptr;
  FieldTexts* record_ = nullptr;
};

void ResultWriter::value(const Value& v, std::size_t indent) {
  switch (v.kind()) {
    case Value::Kind::kNull: literal("null"); return;
    case Value::Kind::kBoolean: boolean(v.as_boolean()); return;
    case Value::Kind::kInteger: append_int(out_, v.as_integer()); return;
    case Value::Kind::kFloat:
      append_double(out_, v.as_float(), FloatStyle::kJson);
      return;
    case Value::Kind::kString: append_json_string(out_, v.as_string()); return;
    case Value::Kind::kArray: {
      const Value::Array& a = v.as_array();
      if (a.empty()) {
        literal("[]");
        return;
      }
      out_ += '[';
      for (std::size_t i = 0; i < a.size(); ++i) {
        if (stopping()) return;
        newline(indent + 2, i > 0);
        value(a[i], indent + 2);
      }
      newline(indent);
      out_ += ']';
      return;
    }
    case Value::Kind::kObject: state_fields(v.as_object(), indent); return;
  }
}

void ResultWriter::state_fields(const ExecutionState::Fields& fields,
                                std::size_t indent) {
  if (fields.empty()) {
    literal("{}");
    return;
  }
  out_ += '{';
  bool first = true;
  for (const auto& [name, v] : fields) {
    if (stopping()) return;
    key(name, indent + 2, first);
    first = false;
    value(v, indent + 2);
  }
  newline(indent);
  out_ += '}';
}

void ResultWriter::json(const Json& v, std::size_t indent) {
  switch (v.kind()) {
    case Json::Kind::kNull: literal("null"); return;
    case Json::Kind::kBoolean: boolean(v.as_boolean()); return;
    case Json::Kind::kInteger: append_int(out_, v.as_integer()); return;
    case Json::Kind::kUnsigned: append_uint(out_, v.as_unsigned()); return;
    case Json::Kind::kDouble:
      append_double(out_, v.as_double(), FloatStyle::kJson);
      return;
    case Json::Kind::kString: append_json_string(out_, v.as_string()); return;
    case Json::Kind::kArray: {
      const Json::Array& a = v.as_array();
      if (a.empty()) {
        literal("[]");
        return;
      }
      out_ += '[';
      for (std::size_t i = 0; i < a.size(); ++i) {
        if (stopping()) return;
        newline(indent + 2, i > 0);
        json(a[i], indent + 2);
      }
      newline(indent);
      out_ += ']';
      return;
    }
    case Json::Kind::kObject: {
      const Json::Object& o = v.as_object();
      if (o.empty()) {
        literal("{}");
        return;
      }
      out_ += '{';
      bool first = true;
      for (const auto& [name, member] : o) {
        if (stopping()) return;
        key(name, indent + 2, first);
        first = false;
        json(member, indent + 2);
      }
      newline(indent);
      out_ += '}';
      return;
    }
  }
}

void ResultWriter::copy_reindented(const char* external, std::size_t offset,
                                   std::size_t length, std::size_t from,
                                   std::size_t to) {
  const std::size_t start = out_.size();
  if (from == to) {
    out_.resize(start + length);
    const char* p = (external != nullptr ? external : out_.data()) + offset;
    std::memcpy(out_.data() + start, p, length);
    return;
  }
  // Each line feed is followed by at least `from` spaces, so there are at
  // most length / (from + 1) of them: room for that many is made first
  // (and a vector's width of slack, which the copy may overwrite), so that
  // the source stays put and the copy is one pass; what is left over is
  // given back at the end.
  const std::size_t most_lines = length / (from + 1);
  out_.resize(start + length + (to > from ? most_lines * (to - from) : 0) +
              kCopySlack);
  const char* p = (external != nullptr ? external : out_.data()) + offset;
  char* const first = out_.data();
  char* const dst = reindent_lines(p, p + length, first + start, from, to);
  out_.resize(static_cast<std::size_t>(dst - first));
}

void ResultWriter::state(const ExecutionState& s, std::size_t indent) {
  const std::size_t offset = out_.size();
  const StateText* source = nullptr;
  for (const StateText& seen : recent_) {
    if (seen.state && seen.state->same_fields_as(s)) {
      source = &seen;
      if (seen.indent == indent) break;  // an exact copy is cheapest
    }
  }
  if (source != nullptr) {
    copy_reindented(source->external, source->offset, source->length,
                    source->indent, indent);
  } else {
    new_state(s.fields(), indent);
  }
  StateText& slot = recent_[next_recent_];
  next_recent_ = (next_recent_ + 1) % kRecentStates;
  slot.state = s;
  slot.indent = indent;
  slot.external = nullptr;
  slot.offset = offset;
  slot.length = out_.size() - offset;
}

void ResultWriter::new_state(const ExecutionState::Fields& fields,
                             std::size_t indent) {
  if (prepared_ == nullptr && record_ == nullptr) {
    state_fields(fields, indent);
    return;
  }
  if (fields.empty()) {
    literal("{}");
    return;
  }
  const ExecutionState::Fields* initial =
      initial_ != nullptr ? &initial_->fields() : nullptr;
  std::size_t at = 0;  // walks the initial fields in step
  out_ += '{';
  bool first = true;
  for (const auto& [name, v] : fields) {
    if (stopping()) return;
    if (initial != nullptr) {
      int order = -1;
      while (at < initial->size() &&
             (order = compare_names((*initial)[at].first, name)) < 0) {
        ++at;
      }
      if (at < initial->size() && order == 0 &&
          same_text((*initial)[at].second, v, kMaxComparedDepth)) {
        newline(indent + 2, !first);
        first = false;
        const FieldText& text = prepared_->initial_field_texts[at];
        const char* const source = prepared_->initial_state_text.data();
        if (text.multiline) {
          copy_reindented(source, text.offset, text.length,
                          Prepared::kInitialStateIndent + 2, indent + 2);
        } else {
          out_.append(source + text.offset, text.length);
        }
        continue;
      }
    }
    newline(indent + 2, !first);
    first = false;
    const std::size_t start = out_.size();
    append_json_string(out_, name);
    out_.append(": ", 2);
    value(v, indent + 2);
    if (record_ != nullptr) {
      const std::size_t length = out_.size() - start;
      record_->push_back({start, length,
                          std::memchr(out_.data() + start, '\n', length) !=
                              nullptr});
    }
  }
  newline(indent);
  out_ += '}';
}

void ResultWriter::known_state(const ExecutionState& s, std::string_view text,
                               std::size_t indent) {
  StateText& slot = recent_[next_recent_];
  next_recent_ = (next_recent_ + 1) % kRecentStates;
  slot.state = s;
  slot.indent = indent;
  slot.external = text.data();
  slot.offset = 0;
  slot.length = text.size();
}

void ResultWriter::entry(const ProvenanceEntry& e, std::size_t indent) {
  if (!streaming_) {
    if (auto seen = entries_.find(&e); seen != entries_.end()) {
      copy_reindented(nullptr, seen->second.offset, seen->second.length,
                      seen->second.indent, indent);
      return;
    }
  }
  const std::size_t offset = out_.size();
  const std::size_t inner = indent + 2;
  out_ += '{';
  key(kSequenceKey, inner, true);
  append_uint(out_, e.sequence);
  key(kOperationKey, inner, false);
  append_json_string(out_, e.operation);
  key(kInputsKey, inner, false);
  json(e.inputs, inner);
  key(kStateBeforeKey, inner, false);
  state(e.state_before, inner);
  key(kStateAfterKey, inner, false);
  state(e.state_after, inner);
  key(kChangesKey, inner, false);
  if (e.changes.empty()) {
    literal("[]");
  } else {
    out_ += '[';
    const std::size_t change_indent = inner + 2;
    for (std::size_t i = 0; i < e.changes.size(); ++i) {
      if (stopping()) return;
      const StateChange& c = e.changes[i];
      newline(change_indent, i > 0);
      out_ += '{';
      key(kFieldKey, change_indent + 2, true);
      append_json_string(out_, c.field);
      key(kOldValueKey, change_indent + 2, false);
      value(c.old_value, change_indent + 2);
      key(kNewValueKey, change_indent + 2, false);
      value(c.new_value, change_indent + 2);
      newline(change_indent);
      out_ += '}';
    }
    newline(inner);
    out_ += ']';
  }
  key(kPostconditionsKey, inner, false);
  boolean(e.postconditions_verified);
  key(kInvariantsKey, inner, false);
  boolean(e.invariants_verified);
  newline(indent);
  out_ += '}';
  const EntryText text{indent, offset, out_.size() - offset};
  if (streaming_) {
    streamed_.push_back(text);
  } else {
    entries_.emplace(&e, text);
  }
}

void ResultWriter::operation_result(const OperationResult& r,
                                    std::size_t indent) {
  const std::size_t inner = indent + 2;
  out_ += '{';
  key(kOperationKey, inner, true);
  append_json_string(out_, r.operation);
  key(kSuccessKey, inner, false);
  boolean(r.success);
  key(kStateKey, inner, false);
  state(r.state, inner);
  key(kErrorKey, inner, false);
  optional_string(r.error);
  key(kProvenanceKey, inner, false);
  if (r.provenance != nullptr) {
    entry(*r.provenance, inner);
  } else {
    literal("null");
  }
  newline(indent);
  out_ += '}';
}

// The output grows geometrically (no estimate drawn from the first
// operations can be trusted for the rest: a few huge ones, then many small
// ones).
void ResultWriter::grow_for(std::size_t expected) {
  out_.reserve(out_.size() + expected);
}

void ResultWriter::result_head(std::string_view contract_id, bool success) {
  out_ += '{';
  key(kContractIdKey, 2, true);
  append_json_string(out_, contract_id);
  key(kSuccessKey, 2, false);
  boolean(success);
  key(kOperationsKey, 2, false);
}

std::string result_head_text(std::string_view contract_id, bool success) {
  std::string head;
  {
    StringOutput out(head);
    ResultWriter(out).result_head(contract_id, success);
  }
  return head;
}

std::string state_text(const ExecutionState& state, std::size_t indent,
                       FieldTexts* fields, const Interrupter& interrupter) {
  std::string text;
  {
    StringOutput out(text);
    ResultWriter writer(out, interrupter);
    writer.record_fields(fields);
    writer.state(state, indent);
  }
  return text;
}

bool ResultWriter::next_operation(const OperationResult& r) {
  if (stopping()) return false;
  grow_for(last_size_);
  if (stopped()) return false;
  const std::size_t start = out_.size();
  if (operations_ == 0) out_ += '[';
  newline(4, operations_ > 0);
  operation_result(r, 4);
  ++operations_;
  last_size_ = out_.size() - start;
  return true;
}

void ResultWriter::end_operations(const ExecutionState& final_state) {
  if (operations_ == 0) {
    literal("[]");
  } else {
    newline(2);
    out_ += ']';
  }
  key(kFinalStateKey, 2, false);
  state(final_state, 2);
  key(kProvenanceKey, 2, false);
  out_ += '{';
  key(kEntriesKey, 4, true);
}

template <typename Write>
bool ResultWriter::next_log_entry(std::size_t index, Write&& write) {
  if (stopping()) return false;
  grow_for(last_size_);
  if (stopped()) return false;
  const std::size_t start = out_.size();
  if (index == 0) out_ += '[';
  newline(6, index > 0);
  write();
  last_size_ = out_.size() - start;
  return true;
}

void ResultWriter::end_result(std::size_t log_size,
                              const std::optional<std::string>& error) {
  if (log_size == 0) {
    literal("[]");
  } else {
    newline(4);
    out_ += ']';
  }
  newline(2);
  out_ += '}';
  key(kErrorKey, 2, false);
  optional_string(error);
  out_.append("\n}", 2);
}

void ResultWriter::execution_result(const ExecutionResult& r) {
  result_head(r.contract_id, r.success);
  for (const OperationResult& op : r.operations) {
    if (!next_operation(op)) return;
  }
  end_operations(r.final_state);
  const auto& entries = r.provenance.entries();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!next_log_entry(i, [&] { entry(*entries[i], 6); })) return;
  }
  end_result(entries.size(), r.error);
}

void ResultWriter::begin_stream(std::size_t room) {
  streaming_ = true;
  // A failure makes the members before the operations one character longer.
  out_.append(room, ' ');
}

bool ResultWriter::end_stream(std::size_t room, std::string_view head,
                              const ExecutionState& final_state,
                              const std::optional<std::string>& error) {
  end_operations(final_state);
  for (std::size_t i = 0; i < streamed_.size(); ++i) {
    const EntryText& text = streamed_[i];
    if (!next_log_entry(i, [&] {
          copy_reindented(nullptr, text.offset, text.length, text.indent, 6);
        })) {
      return false;
    }
  }
  end_result(streamed_.size(), error);
  if (head.size() > room) {
    // "false" is longer than "true": the text moves up, in pieces from the
    // end, asking between them.
    const std::size_t shift = head.size() - room;
    grow_for(shift);
    if (stopped()) return false;
    std::size_t left = out_.size();
    out_.resize(left + shift);
    char* data = out_.data();
    while (left > 0) {
      if (left < out_.size() - shift && ask()) return false;
      const std::size_t piece = std::min(left, kBytesPerMove);
      left -= piece;
      std::memmove(data + left + shift, data + left, piece);
    }
  }
  if (stopped()) return false;
  std::memcpy(out_.data(), head.data(), head.size());
  // Written apart from the output, so its UTF-8 is noted here.
  for (const char c : head) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      out_.note_non_ascii();
      break;
    }
  }
  return true;
}

ResultStream::ResultStream(Output& out, std::string_view contract_id,
                           const Interrupter& interrupter)
    : writer_(std::make_unique<ResultWriter>(out, interrupter)),
      head_success_(result_head_text(contract_id, true)),
      contract_id_(contract_id) {
  writer_->begin_stream(head_success_.size());
}

ResultStream::ResultStream(Output& out, const Prepared& prepared,
                           const ExecutionState& initial_state,
                           const ExecutionState& start,
                           const Interrupter& interrupter)
    : writer_(std::make_unique<ResultWriter>(out, interrupter)),
      prepared_(&prepared) {
  // A run from the initial state (every execute) starts by writing it as
  // its first state_before.
  if (same_text(start, initial_state)) {
    writer_->known_state(start, prepared.initial_state_text,
                         Prepared::kInitialStateIndent);
  }
  writer_->initial_fields(prepared, initial_state);
  // Texts copied from the prepared state are not looked at again.
  if (prepared.initial_state_non_ascii) out.note_non_ascii();
  // Grown once, rather than doubling from nothing a few times, for the
  // usual call of one request.
  out.reserve(out.size() + prepared.one_request_size);
  writer_->begin_stream(prepared.head_success.size());
}

ResultStream::~ResultStream() = default;

bool ResultStream::operation(const OperationResult& result) {
  return writer_->next_operation(result);
}

bool ResultStream::finish(const ExecutionState& final_state,
                          const std::optional<std::string>& error) {
  if (prepared_ != nullptr) {
    const std::string& head =
        error ? prepared_->head_failure : prepared_->head_success;
    return writer_->end_stream(prepared_->head_success.size(), head,
                               final_state, error);
  }
  if (error && head_failure_.empty()) {
    head_failure_ = result_head_text(contract_id_, false);
  }
  return writer_->end_stream(head_success_.size(),
                             error ? head_failure_ : head_success_,
                             final_state, error);
}

}  // namespace detail

using detail::ResultWriter;

void write_value_json(const Value& value, std::string& out) {
  StringOutput output(out);
  ResultWriter(output).value(value, 0);
}

void write_state_json(const ExecutionState& state, std::string& out) {
  StringOutput output(out);
  ResultWriter(output).state(state, 0);
}

void write_execution_result(const ExecutionResult& result, std::string& out) {
  StringOutput output(out);
  ResultWriter(output).execution_result(result);
}

bool write_execution_result(const ExecutionResult& result, std::string& out,
                            const Interrupter& interrupter) {
  StringOutput output(out);
  ResultWriter writer(output, interrupter);
  writer.execution_result(result);
  return !writer.stopped();
}

}  // namespace qel
