// Parsing request and input texts into JSON values.
#ifndef QEL_SRC_EXECUTOR_JSON_INPUT_H_
#define QEL_SRC_EXECUTOR_JSON_INPUT_H_

#include <cstddef>
#include <optional>
#include <string_view>

#include "qel/error.h"
#include "qel/interrupt.h"
#include "qel/json.h"

namespace qel::detail {

// Parses one JSON value filling the whole of `text` (white space aside).
// Integers that fit a signed 64-bit integer become kInteger, larger ones up
// to 2^64-1 kUnsigned, others doubles; of repeated keys the last one wins.
// Arrays and objects may nest kMaxNestingDepth levels (the outermost is
// level 1). On failure: an ExecutionError "{prefix}{description} at line L
// column C". Error::interrupted() when `interrupter` says stop.
Result<Json> parse_json(std::string_view text, std::string_view prefix,
                        const Interrupter& interrupter = {});

// The failure for a well-formed text whose value is not an array: an
// ExecutionError "{prefix}invalid type: expected an array at line L column
// C", positioned at the value's first character.
Error not_an_array(std::string_view text, std::string_view prefix);

// Whether `text` is one JSON value as parse_json reads it, checked without
// building the value: nothing when it is, otherwise the error parse_json
// gives for it (Error::interrupted() when `interrupter` says stop).
std::optional<Error> check_json(std::string_view text, std::string_view prefix,
                                const Interrupter& interrupter = {});

// The elements of a JSON array text, read one at a time after one checking
// pass over the whole text: a long request list is never held whole, and
// yet a text that is not JSON is refused before any element is read.
class ArrayReader {
 public:
  // The error parse_json gives for the whole text, or for a text that
  // holds no array the error of not_an_array. `text` must outlive the
  // reader.
  static Result<ArrayReader> open(std::string_view text,
                                  std::string_view prefix,
                                  const Interrupter& interrupter = {});

  // A reader of the list of one element that `element` makes: nothing
  // when `element` is not one JSON value short enough to be sure of at
  // once (the caller then reads it as a list of its own).
  static std::optional<ArrayReader> single(std::string_view element,
                                           std::string_view prefix);

  // The next element as parse_json reads it, or nothing after the last
  // one. The only error is Error::interrupted().
  Result<std::optional<Json>> next();

  // How far the reader has come, in bytes of the text, and the text's
  // length: the share of the elements read, for a writer's estimate.
  std::size_t bytes_read() const { return at_; }
  std::size_t text_bytes() const { return text_.size(); }

 private:
  ArrayReader(std::string_view text, std::size_t at, std::string_view prefix,
              const Interrupter& interrupter)
      : text_(text), at_(at), prefix_(prefix), interrupter_(interrupter) {}

  std::string_view text_;
  std::size_t at_;  // just past the last element read, or the bracket
  std::string_view prefix_;
  Interrupter interrupter_;
  // The one element single() read, until next() hands it over.
  std::optional<Json> single_;
};

}  // namespace qel::detail

#endif  // QEL_SRC_EXECUTOR_JSON_INPUT_H_
