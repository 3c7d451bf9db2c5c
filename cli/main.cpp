// Entry point of the `qel` executable: argument vector in, exit status out.
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "cli.h"

namespace {

bool write_all(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  qel::cli::Io io;
  io.read_stdin = []() -> std::optional<std::string> {
    std::string text((std::istreambuf_iterator<char>(std::cin)),
                     std::istreambuf_iterator<char>());
    if (std::cin.bad()) return std::nullopt;
    return text;
  };
  int status;
  try {
    status = qel::cli::run(args, io);
  } catch (const std::bad_alloc&) {
    io.err += "qel: out of memory\n";
    status = 1;
  } catch (const std::exception& e) {
    io.err += std::string("qel: internal error: ") + e.what() + "\n";
    status = 1;
  }
  const bool ok = write_all(STDOUT_FILENO, io.out);
  write_all(STDERR_FILENO, io.err);
  return ok ? status : 2;
}
