#include "lsp/transport.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

namespace qel::cli::lsp {

namespace {

constexpr std::string_view kLengthHeader = "content-length";
constexpr size_t kReadChunk = size_t{1} << 16;

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' ||
                        s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

// A decimal length with no sign and at most 18 digits, so that it cannot
// overflow.
std::optional<size_t> parse_length(std::string_view s) {
  if (s.empty() || s.size() > 18) return std::nullopt;
  size_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<size_t>(c - '0');
  }
  return value;
}

}  // namespace

bool MessageReader::fill(size_t want) {
  if (eof_) return false;
  compact();
  const size_t chunk = std::max(want, kReadChunk);
  const size_t old = buffer_.size();
  buffer_.resize(old + chunk);
  for (;;) {
    const ssize_t n = ::read(fd_, buffer_.data() + old, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      buffer_.resize(old);
      eof_ = true;
      return false;
    }
    buffer_.resize(old + static_cast<size_t>(n));
    return true;
  }
}

void MessageReader::compact() {
  if (pos_ > 0 && pos_ >= buffer_.size() / 2) {
    buffer_.erase(0, pos_);
    pos_ = 0;
  }
}

bool MessageReader::resynchronise(size_t from) {
  for (;;) {
    for (size_t q = from; q + kLengthHeader.size() <= buffer_.size(); ++q) {
      if (lower(buffer_[q]) == 'c' &&
          equals_ignoring_case(
              std::string_view(buffer_).substr(q, kLengthHeader.size()),
              kLengthHeader)) {
        pos_ = q;
        return true;
      }
    }
    // Keep what could be the start of a header cut off by the read.
    const size_t keep = kLengthHeader.size() - 1;
    pos_ = std::max(from, buffer_.size() > keep ? buffer_.size() - keep : 0);
    if (!fill()) {
      pos_ = buffer_.size();
      return false;
    }
    from = pos_;
  }
}

void MessageReader::skip_to_next_header(size_t body_size) {
  // A header that starts this far back cannot lie wholly inside the body,
  // so only one that runs on past it is found there.
  const size_t back = std::min(body_size, kLengthHeader.size() - 1);
  resynchronise(pos_ >= back ? pos_ - back : 0);
}

MessageReader::Frame MessageReader::next() {
  Frame frame;
  std::optional<size_t> length;
  bool bad_length = false;
  bool headers = false;
  size_t p = pos_;
  const auto invalid = [&](std::string why, bool skip_frame) {
    frame.status = Status::kInvalid;
    frame.error = std::move(why);
    // A frame that was read whole is skipped; otherwise the search starts
    // past the first byte of the bad header, so that it moves on.
    if (skip_frame) pos_ = p;
    resynchronise(skip_frame ? pos_ : pos_ + 1);
    return frame;
  };
  for (;;) {
    const size_t lf = buffer_.find('\n', p);
    if (lf == std::string::npos) {
      if (buffer_.size() - pos_ > kMaxHeaderLength) {
        return invalid("header section longer than " +
                           std::to_string(kMaxHeaderLength) + " bytes",
                       false);
      }
      const size_t consumed = p - pos_;
      if (!fill()) return Frame{};  // pos_ may have moved while compacting
      p = pos_ + consumed;
      continue;
    }
    const std::string_view line =
        trim(std::string_view(buffer_).substr(p, lf - p));
    p = lf + 1;
    if (p - pos_ > kMaxHeaderLength) {
      return invalid("header section longer than " +
                         std::to_string(kMaxHeaderLength) + " bytes",
                     false);
    }
    if (line.empty()) {
      if (!headers) {
        pos_ = p;  // a blank line between messages
        continue;
      }
      break;
    }
    headers = true;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      return invalid("malformed header line", false);
    }
    if (equals_ignoring_case(trim(line.substr(0, colon)), kLengthHeader)) {
      length = parse_length(trim(line.substr(colon + 1)));
      bad_length = !length.has_value();
    }
  }
  if (bad_length) return invalid("invalid Content-Length", true);
  if (!length) return invalid("missing Content-Length header", true);
  if (*length > max_content_) {
    frame.oversized = true;
    return invalid("Content-Length " + std::to_string(*length) +
                       " exceeds the limit of " +
                       std::to_string(max_content_) + " bytes",
                   true);
  }
  pos_ = p;
  while (buffer_.size() - pos_ < *length) {
    // One read for the rest of a large body, not one per small chunk.
    if (!fill(*length - (buffer_.size() - pos_))) return Frame{};
  }
  frame.status = Status::kMessage;
  frame.body.assign(buffer_, pos_, *length);
  pos_ += *length;
  return frame;
}

bool MessageReader::descriptor_readable() const {
  if (eof_) return false;
  pollfd p{fd_, POLLIN, 0};
  for (;;) {
    const int n = ::poll(&p, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    // A hang-up counts: the next read then sees the end at once.
    return n > 0;
  }
}

bool MessageReader::input_waiting() const {
  return pos_ < buffer_.size() || descriptor_readable();
}

bool write_message(int fd, std::string_view body) {
  std::string out = "Content-Length: " + std::to_string(body.size()) +
                    "\r\n\r\n";
  out.append(body);
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::write(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace qel::cli::lsp
