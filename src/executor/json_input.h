// Parsing request and input texts into JSON values.
#ifndef QEL_SRC_EXECUTOR_JSON_INPUT_H_
#define QEL_SRC_EXECUTOR_JSON_INPUT_H_

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

}  // namespace qel::detail

#endif  // QEL_SRC_EXECUTOR_JSON_INPUT_H_
