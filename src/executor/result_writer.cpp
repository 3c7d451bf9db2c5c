// Writing values, states and the execution result as pretty-printed JSON,
// straight into one buffer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "executor/result_writer.h"
#include "qel/executor.h"

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
  // operations, which hold the success flag known only at the end; each
  // operation; then the rest, the log copied from the operations' text.
  void begin_stream(std::string_view contract_id);
  [[nodiscard]] bool next_operation(const OperationResult& r);
  [[nodiscard]] bool end_stream(std::string_view contract_id,
                                const ExecutionState& final_state,
                                const std::optional<std::string>& error);

  // Whether the interrupter has said stop.
  bool stopped() const { return poll_.stopped(); }

 private:
  struct StateText {
    ExecutionState state;
    std::size_t indent = 0;
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
  // Makes room for about `expected` more bytes.
  void grow_for(std::size_t expected);

  // The parts of the result around its operations and log entries.
  void result_head(std::string_view contract_id, bool success);
  static std::string result_head_text(std::string_view contract_id,
                                      bool success);
  void end_operations(const ExecutionState& final_state);
  // Writes the next log entry with `write`; false when stopping.
  template <typename Write>
  bool next_log_entry(std::size_t index, Write&& write);
  void end_result(std::size_t log_size,
                  const std::optional<std::string>& error);
  // Appends out_[offset, offset + length), written at indentation `from`,
  // as if written at indentation `to`. Line feeds in the text are all
  // structural (strings escape theirs), and each is followed by at least
  // `from` spaces.
  void copy_reindented(std::size_t offset, std::size_t length,
                       std::size_t from, std::size_t to);

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

void ResultWriter::copy_reindented(std::size_t offset, std::size_t length,
                                   std::size_t from, std::size_t to) {
  std::size_t lines = 0;
  if (from != to) {
    const char* p = out_.data() + offset;
    const char* const end = p + length;
    while ((p = static_cast<const char*>(std::memchr(
                p, '\n', static_cast<std::size_t>(end - p)))) != nullptr) {
      ++lines;
      ++p;
    }
  }
  // Sized first, so that the source stays put and the copy is plain stores.
  const std::size_t start = out_.size();
  out_.resize(start + length - lines * from + lines * to);
  const char* p = out_.data() + offset;
  const char* const end = p + length;
  char* dst = out_.data() + start;
  if (lines == 0) {
    std::memcpy(dst, p, length);
    return;
  }
  while (p < end) {
    const char* nl = static_cast<const char*>(
        std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* const line_end = nl == nullptr ? end : nl;
    std::memcpy(dst, p, static_cast<std::size_t>(line_end - p));
    dst += line_end - p;
    if (nl == nullptr) break;
    *dst++ = '\n';
    std::memset(dst, ' ', to);
    dst += to;
    p = nl + 1 + from;
  }
}

void ResultWriter::state(const ExecutionState& s, std::size_t indent) {
  const std::size_t offset = out_.size();
  const StateText* source = nullptr;
  for (const StateText& seen : recent_) {
    if (seen.length != 0 && seen.state.same_fields_as(s)) {
      source = &seen;
      if (seen.indent == indent) break;  // an exact copy is cheapest
    }
  }
  if (source != nullptr) {
    copy_reindented(source->offset, source->length, source->indent, indent);
  } else {
    state_fields(s.fields(), indent);
  }
  StateText& slot = recent_[next_recent_];
  next_recent_ = (next_recent_ + 1) % kRecentStates;
  slot.state = s;
  slot.indent = indent;
  slot.offset = offset;
  slot.length = out_.size() - offset;
}

void ResultWriter::entry(const ProvenanceEntry& e, std::size_t indent) {
  if (!streaming_) {
    if (auto seen = entries_.find(&e); seen != entries_.end()) {
      copy_reindented(seen->second.offset, seen->second.length,
                      seen->second.indent, indent);
      return;
    }
  }
  const std::size_t offset = out_.size();
  const std::size_t inner = indent + 2;
  out_ += '{';
  key("sequence", inner, true);
  append_uint(out_, e.sequence);
  key("operation", inner, false);
  append_json_string(out_, e.operation);
  key("inputs", inner, false);
  json(e.inputs, inner);
  key("state_before", inner, false);
  state(e.state_before, inner);
  key("state_after", inner, false);
  state(e.state_after, inner);
  key("changes", inner, false);
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
      key("field", change_indent + 2, true);
      append_json_string(out_, c.field);
      key("old_value", change_indent + 2, false);
      value(c.old_value, change_indent + 2);
      key("new_value", change_indent + 2, false);
      value(c.new_value, change_indent + 2);
      newline(change_indent);
      out_ += '}';
    }
    newline(inner);
    out_ += ']';
  }
  key("postconditions_verified", inner, false);
  boolean(e.postconditions_verified);
  key("invariants_verified", inner, false);
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
  key("operation", inner, true);
  append_json_string(out_, r.operation);
  key("success", inner, false);
  boolean(r.success);
  key("state", inner, false);
  state(r.state, inner);
  key("error", inner, false);
  optional_string(r.error);
  key("provenance", inner, false);
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
  key("contract_id", 2, true);
  append_json_string(out_, contract_id);
  key("success", 2, false);
  boolean(success);
  key("operations", 2, false);
}

std::string ResultWriter::result_head_text(std::string_view contract_id,
                                           bool success) {
  std::string head;
  {
    StringOutput out(head);
    ResultWriter(out).result_head(contract_id, success);
  }
  return head;
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
  key("final_state", 2, false);
  state(final_state, 2);
  key("provenance", 2, false);
  out_ += '{';
  key("entries", 4, true);
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
  key("error", 2, false);
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

void ResultWriter::begin_stream(std::string_view contract_id) {
  streaming_ = true;
  // Room for the members before the operations with "success": true; a
  // failure makes them one character longer.
  out_.append(result_head_text(contract_id, true).size(), ' ');
}

bool ResultWriter::end_stream(std::string_view contract_id,
                              const ExecutionState& final_state,
                              const std::optional<std::string>& error) {
  end_operations(final_state);
  for (std::size_t i = 0; i < streamed_.size(); ++i) {
    const EntryText& text = streamed_[i];
    if (!next_log_entry(i, [&] {
          copy_reindented(text.offset, text.length, text.indent, 6);
        })) {
      return false;
    }
  }
  end_result(streamed_.size(), error);
  const std::string head = result_head_text(contract_id, !error.has_value());
  const std::size_t room = result_head_text(contract_id, true).size();
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
      contract_id_(contract_id) {
  writer_->begin_stream(contract_id_);
}

ResultStream::~ResultStream() = default;

bool ResultStream::operation(const OperationResult& result) {
  return writer_->next_operation(result);
}

bool ResultStream::finish(const ExecutionState& final_state,
                          const std::optional<std::string>& error) {
  return writer_->end_stream(contract_id_, final_state, error);
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
