// The language server's framing: "Content-Length: N" headers, a blank line,
// then N bytes of JSON. A reader that recovers from malformed input, since
// a server that dies on one bad message takes the editor's features with it.
#ifndef QEL_CLI_LSP_TRANSPORT_H_
#define QEL_CLI_LSP_TRANSPORT_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace qel::cli::lsp {

// Larger bodies are refused: ten times the largest contract an editor is
// expected to hold, escaped.
inline constexpr size_t kMaxContentLength = size_t{256} << 20;
// A header section longer than this is not one.
inline constexpr size_t kMaxHeaderLength = 8192;

class MessageReader {
 public:
  explicit MessageReader(int fd, size_t max_content = kMaxContentLength)
      : fd_(fd), max_content_(max_content) {}

  enum class Status {
    kMessage,  // `body` holds the next message
    kInvalid,  // a malformed frame was skipped; `error` says why
    kEnd,      // end of input (or a read error)
  };
  struct Frame {
    Status status = Status::kEnd;
    std::string body;
    std::string error;
    bool oversized = false;  // kInvalid: the declared length was too large
  };

  // Blocks until a whole frame has arrived. After kInvalid, input up to the
  // next "Content-Length" header has been dropped.
  Frame next();

  // Drops input up to the next "Content-Length" header. For use after a
  // body of `body_size` bytes that was not a whole message: when its
  // declared length was short, the rest of it would otherwise be read as the
  // next frame's headers and take that frame with it; when it was long by a
  // few bytes, the body's end holds the start of that header.
  void skip_to_next_header(size_t body_size);

  // Whether input is already waiting: unread bytes in the buffer, or on
  // the descriptor. Never blocks.
  bool input_waiting() const;
  // Only the descriptor: what arrived since the buffer was last filled.
  bool descriptor_readable() const;

 private:
  // Appends what one read() returns, asking for at least `want` bytes;
  // false at the end of the input.
  bool fill(size_t want = 0);
  // Drops input up to the next Content-Length header at or after `from`;
  // false at the end.
  bool resynchronise(size_t from);
  void compact();

  int fd_;
  size_t max_content_;
  std::string buffer_;
  size_t pos_ = 0;  // start of what is not yet consumed
  bool eof_ = false;
};

// Writes one framed message; false when the output is closed.
bool write_message(int fd, std::string_view body);

}  // namespace qel::cli::lsp

#endif  // QEL_CLI_LSP_TRANSPORT_H_
