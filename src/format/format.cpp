// The formatter: one pass over the syntax tree that writes every token and
// comment in source order, choosing only the layout between them. The node
// kinds say where a block, an item or a list starts and ends; the tokens
// are copied as written. A list or a block of typed fields is first written
// on one line and taken back when it holds a comment or runs past the line
// width, which keeps the one-line and the one-per-line forms in one code
// path; an attempt gives up at the first comment or the first column past
// the width, so it costs at most a line's worth of tokens.
#include "qel/format.h"

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qel/limits.h"
#include "qel/parser.h"
#include "qel/syntax_tree.h"
#include "qel/token.h"

namespace qel {
namespace {

using K = TokenKind;

constexpr int kIndentWidth = 2;

// How a token joins what is written before it.
enum class Join : uint8_t {
  kTight,  // right after it: "name:", "Array<", "[1"
  kSpace,  // after one space: ": value", "= 1", "Keyword {"
  kLine,   // on a new line, at the current item's indentation
};

bool is_layout(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

bool is_punctuation(K kind) { return kind >= K::kLBrace && kind <= K::kEquals; }
bool is_closer(K kind) { return kind == K::kRBrace || kind == K::kRBracket; }
bool is_opener(K kind) { return kind == K::kLBrace || kind == K::kLBracket; }

// Whether a comment's text is a suppression, "// qel: allow ...", read as
// check reads it.
bool is_suppression(std::string_view comment) {
  const auto blanks = [&](std::size_t i) {
    while (i < comment.size() && (comment[i] == ' ' || comment[i] == '\t')) ++i;
    return i;
  };
  std::size_t i = blanks(2);
  if (comment.substr(i, 4) != "qel:") return false;
  i = blanks(i + 4);
  if (comment.substr(i, 5) != "allow") return false;
  i += 5;
  return i == comment.size() || comment[i] == ' ' || comment[i] == '\t';
}

class Formatter {
 public:
  explicit Formatter(const SyntaxTree& tree)
      : t_(tree), src_(tree.source()) {
    find_glue();
  }

  Result<std::string> run();

 private:
  // Everything a one-line attempt changes, to take it back.
  struct Mark {
    size_t size;
    uint32_t next, prev_end, column;
    int line_indent, base;
    bool line_has_code, line_closed, after_open;
  };

  // ---- Writing ------------------------------------------------------------

  K kind(uint32_t token) const { return t_.token_kind(token); }
  // Where `token` ends, less the trailing spaces of a comment. Punctuation
  // is one byte; otherwise stepping back over the layout before the next
  // token is shorter than scanning the token, and no other token ends in
  // layout.
  uint32_t end_of(uint32_t token) const {
    if (is_punctuation(kind(token))) return t_.token_offset(token) + 1;
    uint32_t end = t_.token_offset(token + 1);
    while (end > 0 && is_layout(src_[end - 1])) --end;
    return end;
  }
  std::string_view text_of(uint32_t token) const {
    const uint32_t start = t_.token_offset(token);
    return src_.substr(start, end_of(token) - start);
  }
  uint32_t next_code(uint32_t token) const { return t_.next_code_token(token); }
  const SyntaxTree::Node& node(uint32_t index) const { return t_.node(index); }

  // Writes `token` after the comments before it.
  void put(uint32_t token, Join join);
  // Writes the comments between the last token written and `token`, which
  // is to be joined by `join`; tokens passed over are commas that the style
  // drops or writes itself.
  void comments_before(uint32_t token, Join join);
  void write(std::string_view text, bool may_span_lines);
  void write_comma();
  void line_break(int indent, bool blank);
  // Whether the author left a blank line between the last token written
  // and `offset`.
  bool blank_before(uint32_t offset) const;
  // Tokens the grammar does not read keep their own spacing: a line break,
  // a space or nothing, as written.
  Join join_as_written(uint32_t token) const;

  Mark mark() const {
    return {out_.size(), next_,         prev_end_,    column_,    line_indent_,
            base_,       line_has_code_, line_closed_, after_open_};
  }
  void restore(const Mark& m) {
    out_.resize(m.size);
    next_ = m.next;
    prev_end_ = m.prev_end;
    column_ = m.column;
    line_indent_ = m.line_indent;
    base_ = m.base;
    line_has_code_ = m.line_has_code;
    line_closed_ = m.line_closed;
    after_open_ = m.after_open;
  }

  // Renders tokens `first` to `last` on one line; true when that held no
  // comment and ended within the width with `reserve` columns to spare (or
  // had to stay on one line, see glue_), otherwise nothing is written.
  // Inside another attempt it is part of that one.
  template <typename Render>
  bool try_one_line(uint32_t first, uint32_t last, uint32_t reserve,
                    Render&& render);

  // ---- Suppressions -------------------------------------------------------
  // A "// qel: allow" comment silences the findings of its line, or of the
  // next line when it stands alone. Splitting that line would move a
  // finding off it, so the line's tokens stay on one line: each run
  // [from, to] of glue_ is written without a line break inside.

  void find_glue();
  // Whether `token` must follow the one before it on the same line.
  bool glued(uint32_t token) const {
    const auto it = std::upper_bound(
        glue_.begin(), glue_.end(), token,
        [](uint32_t t, const std::pair<uint32_t, uint32_t>& run) {
          return t < run.first + 1;
        });
    return it != glue_.begin() && token <= std::prev(it)->second;
  }
  // Whether some glued token lies in (first, last].
  bool glue_within(uint32_t first, uint32_t last) const {
    for (const auto& [from, to] : glue_) {
      if (from < last && to > first) return true;
    }
    return false;
  }
  // Whether a line break lies between the end of `a` and the start of `b`.
  bool break_between(uint32_t a, uint32_t b) const {
    const uint32_t end = end_of(a), start = t_.token_offset(b);
    return std::memchr(src_.data() + end, '\n', start - end) != nullptr;
  }

  // ---- Layout -------------------------------------------------------------

  // The items of a block, the children of `parent`, one per line, then the
  // closing `close`. The opening token is written.
  template <typename Item>
  void block(uint32_t close, uint32_t parent, Item&& item);
  void close_block(uint32_t close, int outer, bool items);
  // Keyword { ... } or name { ... }: the contract, a section, Extensions
  // or one extension system.
  void keyword_block(uint32_t index);
  void field(uint32_t index, NodeKind parent);
  void operation(uint32_t index);
  void custom_field(uint32_t index);
  void state_field(uint32_t index, Join join);
  // { a: T, b: U }: the children of `parent` are its state fields.
  void typed_fields(uint32_t open, uint32_t close, uint32_t parent, Join join,
                    uint32_t reserve);
  // [ items ]: texts, literals, or array literals among the children of
  // `parent`.
  void list(uint32_t open, uint32_t close, uint32_t parent, Join join,
            uint32_t reserve);
  void list_items(uint32_t open, uint32_t close, uint32_t parent,
                  bool one_per_line);
  // A type or a literal at `token`; its node, if it has one, is the child
  // at `child`, which then moves on. Returns the last token.
  uint32_t type(uint32_t token, uint32_t& child, uint32_t end, Join join,
                uint32_t reserve);
  uint32_t literal(uint32_t token, uint32_t& child, uint32_t end, Join join,
                   uint32_t reserve);
  uint32_t node_at(uint32_t token, uint32_t& child, uint32_t end) const {
    if (child >= end || node(child).first_token != token) {
      return syntax::kNoNode;
    }
    const uint32_t found = child;
    child = node(child).next;
    return found;
  }

  const SyntaxTree& t_;
  std::string_view src_;
  std::string out_;

  uint32_t next_ = 0;      // the first token neither written nor passed
  uint32_t prev_end_ = 0;  // where the last token written ends in the source
  uint32_t column_ = 0;
  int line_indent_ = 0;  // the indentation of the line being written
  int base_ = 0;         // the current item's; its continuation lines: + 1
  bool line_has_code_ = false;
  bool line_closed_ = false;  // a comment ends the line
  bool after_open_ = false;   // the last token written opens a block

  std::vector<std::pair<uint32_t, uint32_t>> glue_;  // in token order
  bool trying_ = false;  // within a one-line attempt
  bool width_free_ = false;  // that attempt holds glued tokens
  bool failed_ = false;  // that attempt cannot succeed
  int depth_ = 0;
  bool too_deep_ = false;
};

// ---- Writing ----------------------------------------------------------------

void Formatter::put(uint32_t token, Join join) {
  if (next_ < token) comments_before(token, join);
  if (failed_ || too_deep_) return;
  next_ = token + 1;
  const K k = kind(token);
  if (join == Join::kLine && !glue_.empty() && glued(token)) {
    const bool after_bracket = prev_end_ > 0 && src_[prev_end_ - 1] == '[';
    join = k == K::kRBracket || after_bracket ? Join::kTight : Join::kSpace;
  }
  if (join == Join::kLine) {
    line_break(base_, !is_closer(k) && blank_before(t_.token_offset(token)));
  } else if (line_closed_) {
    line_break(base_ + 1, false);
  } else if (join == Join::kSpace) {
    out_ += ' ';
    ++column_;
  }
  const std::string_view text = text_of(token);
  write(text, k == K::kStringLiteral);
  prev_end_ = t_.token_offset(token) + static_cast<uint32_t>(text.size());
  line_has_code_ = true;
  after_open_ = is_opener(k);
}

void Formatter::comments_before(uint32_t token, Join join) {
  if (failed_ || too_deep_) return;
  for (; next_ < token; ++next_) {
    if (kind(next_) != K::kComment) continue;
    if (trying_) {
      failed_ = true;
      return;
    }
    const uint32_t start = t_.token_offset(next_);
    bool same_line = false;
    if (next_ > 0) {
      const uint32_t end = end_of(next_ - 1);
      same_line = std::memchr(src_.data() + end, '\n', start - end) == nullptr;
    }
    const std::string_view text = text_of(next_);
    if (same_line && line_has_code_ && !line_closed_) {
      out_ += ' ';
    } else {
      line_break(join == Join::kLine ? base_ : base_ + 1, blank_before(start));
    }
    out_ += text;
    line_closed_ = true;
    after_open_ = false;
    prev_end_ = start + static_cast<uint32_t>(text.size());
  }
}

void Formatter::write(std::string_view text, bool may_span_lines) {
  out_ += text;
  if (!may_span_lines) {
    column_ += static_cast<uint32_t>(text.size());
  } else {
    // A text in quotes may hold line feeds and any character; columns
    // count characters, so UTF-8 continuation bytes take none.
    size_t from = 0;
    if (std::memchr(text.data(), '\n', text.size()) != nullptr) {
      from = text.rfind('\n') + 1;
      column_ = 0;
      failed_ = failed_ || trying_;
    }
    size_t continuation = 0;
    for (size_t i = from; i < text.size(); ++i) {
      continuation += (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
    }
    column_ += static_cast<uint32_t>(text.size() - from - continuation);
  }
  if (trying_ && !width_free_ &&
      column_ > static_cast<uint32_t>(kFormatLineWidth)) {
    failed_ = true;
  }
}

void Formatter::write_comma() {
  if (failed_ || too_deep_) return;
  write(",", false);
}

void Formatter::line_break(int indent, bool blank) {
  if (!out_.empty()) {
    out_ += '\n';
    if (blank && !after_open_) out_ += '\n';
  }
  out_.append(static_cast<size_t>(indent * kIndentWidth), ' ');
  column_ = static_cast<uint32_t>(indent * kIndentWidth);
  line_indent_ = indent;
  line_has_code_ = false;
  line_closed_ = false;
}

bool Formatter::blank_before(uint32_t offset) const {
  // Most gaps hold one line feed at most; count before looking closer.
  uint32_t line_feeds = 0;
  for (uint32_t i = prev_end_; i < offset; ++i) line_feeds += src_[i] == '\n';
  if (line_feeds < 2) return false;
  bool line_feed = false;  // and nothing but layout since
  for (uint32_t i = prev_end_; i < offset; ++i) {
    const char c = src_[i];
    if (c == '\n') {
      if (line_feed) return true;
      line_feed = true;
    } else if (!is_layout(c)) {
      line_feed = false;
    }
  }
  return false;
}

Join Formatter::join_as_written(uint32_t token) const {
  const uint32_t end = end_of(token - 1);
  const uint32_t start = t_.token_offset(token);
  if (std::memchr(src_.data() + end, '\n', start - end) != nullptr) {
    return Join::kLine;
  }
  return start > end ? Join::kSpace : Join::kTight;
}

template <typename Render>
bool Formatter::try_one_line(uint32_t first, uint32_t last, uint32_t reserve,
                             Render&& render) {
  if (trying_) {
    render();
    return !failed_;
  }
  const Mark before = mark();
  trying_ = true;
  width_free_ = !glue_.empty() && glue_within(first, last);
  render();
  trying_ = false;
  const bool fits =
      !failed_ &&
      (width_free_ ||
       column_ + reserve <= static_cast<uint32_t>(kFormatLineWidth));
  width_free_ = false;
  failed_ = false;
  if (!fits) restore(before);
  return fits;
}

// ---- Suppressions -----------------------------------------------------------

void Formatter::find_glue() {
  const uint32_t eof = t_.token_count() - 1;
  for (uint32_t c = 0; c < eof; ++c) {
    if (kind(c) != K::kComment || !is_suppression(text_of(c))) continue;
    uint32_t from = c, to = c;
    if (c > 0 && !break_between(c - 1, c)) {
      // At the end of a line of code: that line, up to the comment. A
      // comment always ends its line, so none comes before on it.
      from = c - 1;
      while (from > 0 && kind(from - 1) != K::kComment &&
             !break_between(from - 1, from)) {
        --from;
      }
    } else if (kind(c + 1) != K::kComment && kind(c + 1) != K::kEof) {
      // Alone: the line of code below it.
      from = c + 1;
      to = from;
      while (kind(to + 1) != K::kComment && kind(to + 1) != K::kEof &&
             !break_between(to, to + 1)) {
        ++to;
      }
    }
    if (to > from) glue_.emplace_back(from, to);
  }
}

// ---- Layout -----------------------------------------------------------------

Result<std::string> Formatter::run() {
  out_.reserve(src_.size() + src_.size() / 4 + 64);
  const SyntaxTree::Node& document = node(0);
  uint32_t last = 0;
  for (uint32_t i = 1; i < document.next; i = node(i).next) {
    keyword_block(i);
    last = node(i).last_token;
  }
  const uint32_t eof = t_.token_count() - 1;
  for (uint32_t token = next_code(last); token < eof;
       token = next_code(token)) {
    put(token, join_as_written(token));
  }
  comments_before(eof, Join::kLine);
  out_ += '\n';
  // The parser refuses deeper nesting, so this is never reached.
  if (too_deep_) {
    return Error::normalization_error("Nesting too deep (maximum 128 levels)");
  }
  return std::move(out_);
}

template <typename Item>
void Formatter::block(uint32_t close, uint32_t parent, Item&& item) {
  const int outer = line_indent_;
  const int saved = base_;
  const uint32_t end = node(parent).next;
  bool items = false;
  for (uint32_t i = parent + 1; i < end; i = node(i).next) {
    base_ = outer + 1;
    // Items kept on one line are parted by commas where the grammar allows
    // one (not between sections).
    const NodeKind k = node(i).kind;
    if (items && !glue_.empty() && glued(node(i).first_token) &&
        (k == NodeKind::kField || k == NodeKind::kOperation ||
         k == NodeKind::kCustomField)) {
      write_comma();
    }
    item(i);
    items = true;
  }
  close_block(close, outer, items);
  base_ = saved;
}

// Comments before a closing brace are indented like the items.
void Formatter::close_block(uint32_t close, int outer, bool items) {
  base_ = outer + 1;
  comments_before(close, Join::kLine);
  base_ = outer;
  put(close, items || line_closed_ ? Join::kLine : Join::kTight);
}

void Formatter::keyword_block(uint32_t index) {
  const SyntaxTree::Node& n = node(index);
  put(n.first_token, Join::kLine);
  put(next_code(n.first_token), Join::kSpace);
  switch (n.kind) {
    case NodeKind::kContract:    // sections
    case NodeKind::kExtensions:  // systems
      block(n.last_token, index, [&](uint32_t i) { keyword_block(i); });
      return;
    case NodeKind::kSystemExtension:
      block(n.last_token, index, [&](uint32_t i) { custom_field(i); });
      return;
    default:  // a section
      block(n.last_token, index, [&](uint32_t i) { field(i, n.kind); });
      return;
  }
}

void Formatter::field(uint32_t index, NodeKind parent) {
  const SyntaxTree::Node& n = node(index);
  put(n.first_token, Join::kLine);
  const uint32_t colon = next_code(n.first_token);
  put(colon, Join::kTight);
  const uint32_t value = next_code(colon);
  const bool has_children = index + 1 < n.next;
  switch (kind(value)) {
    case K::kLBrace:
      if (has_children && node(index + 1).kind == NodeKind::kField) {
        put(value, Join::kSpace);  // resource_limits
        block(n.last_token, index,
              [&](uint32_t i) { field(i, NodeKind::kField); });
      } else {
        typed_fields(value, n.last_token, index, Join::kSpace, 0);
      }
      return;
    case K::kLBracket:
      if (parent == NodeKind::kBehavioralSemantics) {
        put(value, Join::kSpace);
        block(n.last_token, index, [&](uint32_t i) { operation(i); });
      } else {
        list(value, n.last_token, index, Join::kSpace, 0);
      }
      return;
    default:
      put(value, Join::kSpace);
      return;
  }
}

void Formatter::operation(uint32_t index) {
  const SyntaxTree::Node& n = node(index);
  put(n.first_token, Join::kLine);
  block(n.last_token, index,
        [&](uint32_t i) { field(i, NodeKind::kOperation); });
}

void Formatter::custom_field(uint32_t index) {
  const SyntaxTree::Node& n = node(index);
  put(n.first_token, Join::kLine);
  const uint32_t colon = next_code(n.first_token);
  put(colon, Join::kTight);
  uint32_t child = index + 1;
  literal(next_code(colon), child, n.next, Join::kSpace, 0);
}

void Formatter::state_field(uint32_t index, Join join) {
  const SyntaxTree::Node& n = node(index);
  put(n.first_token, join);
  const uint32_t colon = next_code(n.first_token);
  put(colon, Join::kTight);
  uint32_t child = index + 1;
  const uint32_t last = type(next_code(colon), child, n.next, Join::kSpace, 0);
  if (last == n.last_token) return;
  const uint32_t equals = next_code(last);
  put(equals, Join::kSpace);
  literal(next_code(equals), child, n.next, Join::kSpace, 0);
}

void Formatter::typed_fields(uint32_t open, uint32_t close, uint32_t parent,
                             Join join, uint32_t reserve) {
  put(open, join);
  const uint32_t end = node(parent).next;
  // An empty block is written by block() alone, "{}" whether or not an
  // outer one-line attempt is running: the attempt below would write
  // nothing, not even the closing brace.
  if (parent + 1 < end) {
    const bool one_line = try_one_line(open, close, reserve, [&] {
      for (uint32_t i = parent + 1; i < end && !failed_; i = node(i).next) {
        if (i != parent + 1) write_comma();
        state_field(i, Join::kSpace);
      }
      put(close, Join::kSpace);
    });
    if (one_line || trying_) return;
  }
  block(close, parent, [&](uint32_t i) { state_field(i, Join::kLine); });
}

void Formatter::list(uint32_t open, uint32_t close, uint32_t parent,
                     Join join, uint32_t reserve) {
  put(open, join);
  if (try_one_line(open, close, reserve,
                   [&] { list_items(open, close, parent, false); }) ||
      trying_) {
    return;
  }
  list_items(open, close, parent, true);
}

void Formatter::list_items(uint32_t open, uint32_t close, uint32_t parent,
                           bool one_per_line) {
  const int outer = line_indent_;
  const int saved = base_;
  const uint32_t end = node(parent).next;
  uint32_t child = parent + 1;
  bool first = true;
  for (uint32_t token = next_code(open); token != close; first = false) {
    if (failed_) return;
    Join join = first ? Join::kTight : Join::kSpace;
    if (one_per_line) {
      base_ = outer + 1;
      join = Join::kLine;
    } else if (!first) {
      write_comma();
    }
    const uint32_t last =
        literal(token, child, end, join, one_per_line ? 1 : 0);
    if (one_per_line) write_comma();
    token = next_code(last);
    if (kind(token) == K::kComma) token = next_code(token);
  }
  if (!one_per_line) {
    put(close, Join::kTight);
    return;
  }
  close_block(close, outer, !first);
  base_ = saved;
}

uint32_t Formatter::type(uint32_t token, uint32_t& child, uint32_t end,
                         Join join, uint32_t reserve) {
  const uint32_t index = node_at(token, child, end);
  if (index == syntax::kNoNode) {  // a primitive
    put(token, join);
    return token;
  }
  const SyntaxTree::Node& n = node(index);
  DepthGuard guard(depth_);
  if (guard.exceeded()) {
    too_deep_ = true;
    return n.last_token;
  }
  put(token, join);
  uint32_t inner = index + 1;
  switch (n.kind) {
    case NodeKind::kArrayType: {
      const uint32_t angle = next_code(token);
      put(angle, Join::kTight);
      const uint32_t last =
          type(next_code(angle), inner, n.next, Join::kTight, 0);
      put(next_code(last), Join::kTight);
      break;
    }
    case NodeKind::kMapType: {
      const uint32_t angle = next_code(token);
      put(angle, Join::kTight);
      const uint32_t key =
          type(next_code(angle), inner, n.next, Join::kTight, 0);
      const uint32_t comma = next_code(key);
      put(comma, Join::kTight);
      const uint32_t value =
          type(next_code(comma), inner, n.next, Join::kSpace, 0);
      put(next_code(value), Join::kTight);
      break;
    }
    case NodeKind::kObjectType:
      typed_fields(next_code(token), n.last_token, index, Join::kSpace,
                   reserve);
      break;
    default:  // kEnumType
      list(next_code(token), n.last_token, index, Join::kSpace, reserve);
      break;
  }
  return n.last_token;
}

uint32_t Formatter::literal(uint32_t token, uint32_t& child, uint32_t end,
                            Join join, uint32_t reserve) {
  const uint32_t index = node_at(token, child, end);
  if (index == syntax::kNoNode) {
    put(token, join);
    return token;
  }
  const SyntaxTree::Node& n = node(index);
  DepthGuard guard(depth_);
  if (guard.exceeded()) {
    too_deep_ = true;
  } else {
    list(token, n.last_token, index, join, reserve);
  }
  return n.last_token;
}

}  // namespace

Result<std::string> format_contract(std::string_view text) {
  QEL_ASSIGN_OR_RETURN(const SyntaxTree tree, parse_tree(text));
  return format_tree(tree);
}

Result<std::string> format_tree(const SyntaxTree& tree) {
  return Formatter(tree).run();
}

}  // namespace qel
