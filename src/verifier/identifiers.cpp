// Identifier extraction for the invariant and field-reference checks.
#include <string>
#include <string_view>
#include <vector>

#include "verifier/verifier_checks.h"

namespace qel::detail {

namespace {

// Grouped by length so that a word is compared with a handful of candidates
// at most. Exact and case-sensitive.
constexpr std::string_view kStopWords1[] = {"a"};
constexpr std::string_view kStopWords2[] = {
    "an", "at", "by", "eq", "ge", "gt", "if", "in",
    "is", "le", "lt", "ne", "of", "or", "to"};
constexpr std::string_view kStopWords3[] = {"and", "can", "for", "may",
                                            "not", "set", "the"};
constexpr std::string_view kStopWords4[] = {"else", "must", "null",
                                            "then", "true", "will"};
constexpr std::string_view kStopWords5[] = {"empty", "false", "never",
                                            "valid", "while"};
constexpr std::string_view kStopWords6[] = {"always", "exists", "should",
                                            "unique"};
constexpr std::string_view kStopWords7[] = {"matches", "updated"};
constexpr std::string_view kStopWords8[] = {"contains"};

template <std::size_t N>
bool listed(const std::string_view (&words)[N], std::string_view word) {
  for (std::string_view w : words) {
    if (w == word) return true;
  }
  return false;
}

}  // namespace

bool is_stop_word(std::string_view word) {
  switch (word.size()) {
    case 1: return listed(kStopWords1, word);
    case 2: return listed(kStopWords2, word);
    case 3: return listed(kStopWords3, word);
    case 4: return listed(kStopWords4, word);
    case 5: return listed(kStopWords5, word);
    case 6: return listed(kStopWords6, word);
    case 7: return listed(kStopWords7, word);
    case 8: return listed(kStopWords8, word);
    default: return false;
  }
}

std::vector<std::string> extract_identifiers(std::string_view text) {
  std::vector<std::string> words;
  for_each_identifier(text, [&](std::string_view word) {
    words.emplace_back(word);
  });
  return words;
}

}  // namespace qel::detail
