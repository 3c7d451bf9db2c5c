// A structure-aware input for the fuzz targets: turns the fuzzer's bytes
// into a contract text that parses. Byte mutations alone rarely keep a
// contract valid, so they seldom reach the formatter's corners (empty
// blocks, types nested in parameters, comments in odd places).
//
// The bytes are read as two streams of choices: structure from the front,
// layout (spaces, line feeds, blank lines, comments) from the back, so a
// mutation of one leaves most of the other in place and coverage still
// steers the search. Every choice reads 0 once its stream runs dry, and 0
// always means the smallest form, so short inputs make short contracts.
#ifndef QEL_FUZZ_CONTRACT_GENERATOR_H_
#define QEL_FUZZ_CONTRACT_GENERATOR_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace qel::fuzz {

// An input whose first byte is NUL cannot be a contract (the scanner
// refuses the character), so the targets read such an input as choices.
inline bool is_generator_input(const uint8_t* data, size_t size) {
  return size > 0 && data[0] == 0;
}

class ContractGenerator {
 public:
  ContractGenerator(const uint8_t* data, size_t size)
      : data_(data), back_(size) {}

  std::string run() {
    contract();
    if (pick(8) == 1) trailing_tokens();
    if (layout() % 4 == 1) {
      out_ += "\n//";  // a comment that ends the text, without a line feed
      out_ += comment_text();
    } else {
      gap("");
    }
    return std::move(out_);
  }

 private:
  // ---- Choices --------------------------------------------------------------

  uint8_t structure() { return front_ < back_ ? data_[front_++] : 0; }
  uint8_t layout() { return back_ > front_ ? data_[--back_] : 0; }
  unsigned pick(unsigned n) { return structure() % n; }
  // Whether to add one more item to a list that holds `count` already.
  bool more(int count, int max) { return count < max && pick(2) == 1; }

  template <typename T, size_t N>
  T from(const std::array<T, N>& table) {
    return table[pick(N)];
  }

  // ---- Tokens and the gaps between them --------------------------------------

  static bool is_word_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
  }

  std::string_view comment_text() {
    static constexpr std::array<std::string_view, 10> kTexts = {
        "",          " note",       " }",         " { [ <",
        "// twice",  " \"open",     " \xc3\xa9t\xc3\xa9",
        " spaces  ", " x: Integer", "\ttab"};
    return kTexts[layout() % kTexts.size()];
  }

  void newline(int extra_lines) {
    for (int i = 0; i <= extra_lines; ++i) out_ += '\n';
    static constexpr std::array<std::string_view, 4> kIndents = {"", "  ",
                                                                 "    ", "\t"};
    out_ += kIndents[layout() % kIndents.size()];
  }

  // What separates the text so far from the next token, which starts with
  // `next`: nothing where the tokens stay apart without it, or spaces, line
  // feeds, blank lines and comments.
  void gap(std::string_view next) {
    const bool tight = out_.empty() || next.empty() ||
                       !is_word_char(out_.back()) || !is_word_char(next[0]);
    switch (layout() % 24) {
      default:
        if (!tight) out_ += ' ';
        break;
      case 12: case 13: case 14: out_ += ' '; break;
      case 15: case 16: case 17: newline(0); break;
      case 18: newline(1); break;
      case 19:  // a comment after the token, on its line
        out_ += " //";
        out_ += comment_text();
        newline(0);
        break;
      case 20:  // comments on lines of their own, after a blank line
        newline(1);
        do {
          out_ += "//";
          out_ += comment_text();
          newline(0);
        } while (layout() % 2 == 1);
        break;
      case 21: out_ += "//"; out_ += comment_text(); newline(0); break;
      case 22: out_ += "\r\n"; break;
      case 23: out_ += layout() % 2 ? "\t" : "\f "; break;
    }
  }

  void token(std::string_view text) {
    gap(text);
    out_ += text;
  }

  // ---- Values ----------------------------------------------------------------

  void text() {
    static constexpr std::array<std::string_view, 11> kTexts = {
        "\"a\"", "\"\"", "\"with \\\"quotes\\\" and \\\\\"",
        "\"two\nlines\"", "\"tab\\t and line\\n\"", "\"\xc3\xa9t\xc3\xa9\"",
        "\"// not a comment\"", "\"{ } [ ] < >\"", "2024-01-15T10:30:00Z",
        "2024-01-15T10:30:00+02:00",
        // Long enough to push a block past the width of one line.
        "\"a text long enough that the block holding it cannot stay on one "
        "line\""};
    token(from(kTexts));
  }

  void integer() {
    static constexpr std::array<std::string_view, 5> kIntegers = {
        "0", "1", "007", "4096", "9223372036854775807"};
    token(from(kIntegers));
  }

  void literal(int depth) {
    static constexpr std::array<std::string_view, 8> kScalars = {
        "0.5", "1.", "0.750", "12345678901234567890.25", "true", "false",
        "0", "42"};
    switch (pick(4)) {
      case 0: text(); return;
      case 1: token(from(kScalars)); return;
      case 2: integer(); return;
      case 3:
        if (depth >= kMaxDepth) {
          token("[");
          token("]");
          return;
        }
        token("[");
        for (int n = 0; more(n, 3);) {
          if (n++ > 0) token(",");
          literal(depth + 1);
        }
        close_list();
        return;
    }
  }

  // An optional comma after the last item of a list (not in an empty one),
  // then the closing bracket.
  void close_list() {
    if (out_.back() != '[' && pick(3) == 1) token(",");
    token("]");
  }

  void string_list() {
    token("[");
    for (int n = 0; more(n, 3);) {
      if (n++ > 0) token(",");
      text();
    }
    close_list();
  }

  void name() {
    static constexpr std::array<std::string_view, 9> kNames = {
        "x", "y", "count", "my-field", "_total", "integer", "true_", "e5",
        "a_field_name_long_enough_to_wrap_the_line_it_stands_on"};
    token(from(kNames));
  }

  void type(int depth) {
    static constexpr std::array<std::string_view, 6> kPrimitives = {
        "Integer", "Float", "String", "Boolean", "ISO8601", "UUID"};
    // Past the depth limit only primitives, so the text stays small.
    switch (depth >= kMaxDepth ? 0 : pick(5)) {
      case 0: token(from(kPrimitives)); return;
      case 1:
        token("Array");
        token("<");
        type(depth + 1);
        token(">");
        return;
      case 2:
        token("Map");
        token("<");
        type(depth + 1);
        token(",");
        type(depth + 1);
        token(">");
        return;
      case 3:
        token("Object");
        state_block(depth + 1);
        return;
      case 4:
        token("Enum");
        token("[");
        for (int n = 0; more(n, 3);) {
          if (n++ > 0) token(",");
          text();
        }
        close_list();
        return;
    }
  }

  // { name: type = default, ... } with optional commas between fields.
  void state_block(int depth) {
    token("{");
    for (int n = 0; more(n, 4); ++n) {
      name();
      token(":");
      type(depth);
      if (pick(3) == 1) {
        token("=");
        literal(depth);
      }
      if (pick(2) == 1) token(",");
    }
    token("}");
  }

  // ---- Blocks of named fields ------------------------------------------------

  // The fields in an order and with commas chosen by the input; a field may
  // also be written twice (the last one counts).
  template <size_t N, typename Value>
  void fields(const std::array<std::string_view, N>& names, Value&& value) {
    std::array<size_t, N> order;
    for (size_t i = 0; i < N; ++i) order[i] = i;
    for (size_t i = 0; i + 1 < N; ++i) {
      std::swap(order[i], order[i + pick(static_cast<unsigned>(N - i))]);
    }
    for (size_t i = 0; i < N; ++i) {
      const int times = pick(16) == 1 ? 2 : 1;
      for (int t = 0; t < times; ++t) {
        token(names[order[i]]);
        token(":");
        value(order[i]);
        if (pick(2) == 1) token(",");
      }
    }
  }

  template <size_t N, typename Value>
  void section(std::string_view keyword,
               const std::array<std::string_view, N>& names, Value&& value) {
    token(keyword);
    token("{");
    fields(names, value);
    token("}");
  }

  void operation() {
    static constexpr std::array<std::string_view, 6> kFields = {
        "name", "precondition", "parameters", "postcondition", "side_effects",
        "idempotence"};
    token("{");
    fields(kFields, [&](size_t i) {
      if (i == 0) {
        static constexpr std::array<std::string_view, 4> kNames = {
            "\"a\"", "\"b\"", "\"increment\"", "\"\""};
        token(from(kNames));
      } else if (i == 2) {
        state_block(0);
      } else if (i == 4) {
        string_list();
      } else {
        text();
      }
    });
    token("}");
  }

  void resource_limits() {
    static constexpr std::array<std::string_view, 3> kFields = {
        "max_memory_bytes", "computation_timeout_ms", "max_state_size_bytes"};
    token("{");
    fields(kFields, [&](size_t) { integer(); });
    token("}");
  }

  void contract() {
    token("Contract");
    token("{");
    static constexpr std::array<std::string_view, 5> kIdentity = {
        "stable_id", "version", "created_timestamp", "owner", "semantic_hash"};
    section("Identity", kIdentity, [&](size_t i) {
      if (i == 1) {
        integer();
      } else {
        text();
      }
    });
    static constexpr std::array<std::string_view, 3> kPurpose = {
        "narrative", "intent_source", "confidence_level"};
    section("PurposeStatement", kPurpose, [&](size_t i) {
      static constexpr std::array<std::string_view, 5> kConfidence = {
          "0.5", "1.0", "0.", "00.250", "0.000015"};
      if (i == 2) {
        token(from(kConfidence));
      } else {
        text();
      }
    });
    static constexpr std::array<std::string_view, 2> kData = {"state",
                                                              "invariants"};
    section("DataSemantics", kData, [&](size_t i) {
      if (i == 0) {
        state_block(0);
      } else {
        string_list();
      }
    });

    token("BehavioralSemantics");
    token("{");
    token("operations");
    token(":");
    token("[");
    for (int n = 0; more(n, 3); ++n) {
      operation();
      if (pick(2) == 1) token(",");
    }
    token("]");
    if (pick(2) == 1) token(",");
    token("}");

    static constexpr std::array<std::string_view, 4> kConstraints = {
        "trigger_types", "resource_limits", "external_permissions",
        "sandbox_mode"};
    section("ExecutionConstraints", kConstraints, [&](size_t i) {
      if (i == 1) {
        resource_limits();
      } else if (i == 3) {
        text();
      } else {
        string_list();
      }
    });
    static constexpr std::array<std::string_view, 3> kHuman = {
        "system_commitments", "system_refusals", "user_obligations"};
    section("HumanMachineContract", kHuman, [&](size_t) { string_list(); });
    token("}");

    if (pick(2) == 1) extensions();
  }

  void extensions() {
    token("Extensions");
    token("{");
    for (int systems = 0; more(systems, 3); ++systems) {
      name();
      token("{");
      for (int n = 0; more(n, 3); ++n) {
        name();
        token(":");
        literal(0);
        if (pick(2) == 1) token(",");
      }
      token("}");
    }
    token("}");
  }

  // Whatever follows the contract is scanned but not parsed.
  void trailing_tokens() {
    static constexpr std::array<std::string_view, 6> kTokens = {
        "Contract", "{", "]", "x", "\"tail\"", "7"};
    for (int n = 0; n == 0 || more(n, 4); ++n) token(from(kTokens));
  }

  static constexpr int kMaxDepth = 4;

  const uint8_t* data_;
  size_t front_ = 0;
  size_t back_;
  std::string out_;
};

// The contract chosen by `size` bytes of choices.
inline std::string generate_contract(const uint8_t* choices, size_t size) {
  return ContractGenerator(choices, size).run();
}

}  // namespace qel::fuzz

#endif  // QEL_FUZZ_CONTRACT_GENERATOR_H_
