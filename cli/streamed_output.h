// Output for a command whose result is one long text: handed on to
// standard output piece by piece as it is written, so that the text is
// never held whole in memory.
#ifndef QEL_CLI_STREAMED_OUTPUT_H_
#define QEL_CLI_STREAMED_OUTPUT_H_

#include <cstddef>
#include <memory>

#include "cli.h"
#include "qel/interrupt.h"
#include "qel/output.h"

namespace qel::cli {

// Each time its piece is full, what it holds moves to io.out and is
// flushed (io.flush); without a flush, io.out simply collects the whole
// text. Only for writers that never look back at what they wrote (the
// contract JSON writer): bytes before the last piece are gone, and size()
// counts from the start of the current piece.
class StreamedOutput final : public Output {
 public:
  explicit StreamedOutput(Io& io);
  ~StreamedOutput() = default;

  // Hands on what is still held. Call once the text is complete.
  void finish();

  // An interrupter that never stops the call but hands on what is held
  // each time it is asked. The core asks between the steps of its writing,
  // when nothing points into the output, so that memory stays bounded even
  // when the writer reserved room for the whole text up front.
  Interrupter handing_on();

 private:
  void grow(std::size_t total) override;

  Io& io_;
  std::unique_ptr<char[]> buffer_;
};

}  // namespace qel::cli

#endif  // QEL_CLI_STREAMED_OUTPUT_H_
