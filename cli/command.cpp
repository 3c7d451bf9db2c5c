#include "command.h"

#include "qel/check.h"

namespace qel::cli {

namespace {

// The kind of a core error as findings show it: "error[parse]".
const char* error_kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kParseError: return "parse";
    case ErrorKind::kTypeMismatch: return "type";
    case ErrorKind::kDeterminismViolation: return "determinism";
    case ErrorKind::kContractViolation: return "contract";
    case ErrorKind::kValidationError: return "validation";
    case ErrorKind::kExecutionError: return "execution";
    case ErrorKind::kNormalizationError: return "normalization";
    case ErrorKind::kInterrupted: return "interrupted";
  }
  return "error";
}

}  // namespace

int usage_error(Io& io, const std::string& message) {
  io.err += "qel: " + message + " (see 'qel help')\n";
  return 2;
}

bool output_option(std::string_view command, const std::string& name,
                   const std::string& value, std::string& format,
                   std::string& color, std::string& why) {
  if (name == "--format") {
    if (value == "human" || value == "json" || value == "github") {
      format = value;
    } else {
      why = "unknown format '" + value + "' (expected human, json or github)";
    }
    return true;
  }
  if (name == "--color") {
    if (value == "auto" || value == "always" || value == "never") {
      color = value;
    } else {
      why = std::string(command) + ": --color takes auto, always or never";
    }
    return true;
  }
  return false;
}

Args Args::parse(const std::vector<std::string>& args,
                 std::initializer_list<std::string_view> with_value) {
  Args out;
  bool only_operands = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (only_operands || a.size() < 2 || a[0] != '-') {
      out.operands.push_back(a);
      continue;
    }
    if (a == "--") {
      only_operands = true;
      continue;
    }
    const size_t eq = a.find('=');
    std::string name = a.substr(0, eq);
    bool takes_value = false, short_takes_value = false;
    for (std::string_view v : with_value) {
      takes_value = takes_value || name == v;
      short_takes_value = short_takes_value ||
                          (v.size() == 2 && v[1] != '-' && a.substr(0, 2) == v);
    }
    if (!takes_value && short_takes_value) {
      // A short option may carry its value: -j4 as make has it.
      out.options.emplace_back(a.substr(0, 2), a.substr(2));
    } else if (!takes_value) {
      if (eq != std::string::npos) {
        out.error = "option '" + name + "' takes no value";
        return out;
      }
      out.options.emplace_back(std::move(name), std::string());
    } else if (eq != std::string::npos) {
      out.options.emplace_back(std::move(name), a.substr(eq + 1));
    } else if (i + 1 < args.size()) {
      out.options.emplace_back(std::move(name), args[++i]);
    } else {
      out.error = name + " needs a value";
      return out;
    }
  }
  return out;
}

bool InputReader::read(const std::string& path, Input& in, std::string& why,
                       bool for_rewrite) {
  in.path = path;
  if (path == "-") {
    if (!stdin_text_ && !stdin_error_) {
      std::string text;
      if (io_.read_stdin(io_.max_input_size, text, why)) {
        stdin_text_ = std::move(text);
      } else {
        stdin_error_ = why;
      }
    }
    if (stdin_error_) {
      why = *stdin_error_;
      io_.err += "qel: cannot read standard input: " + why + '\n';
      return false;
    }
    in.text = *stdin_text_;
  } else if (for_rewrite) {
    if (!rewrite_target(path, in.real_path, why)) {
      io_.err +=
          "qel: cannot rewrite '" + shown_path(path) + "': " + why + '\n';
      return false;
    }
    if (!read_file(in.real_path, io_.max_input_size, in.text, why,
                   &in.stamp)) {
      io_.err += "qel: cannot read '" + shown_path(path) + "': " + why + '\n';
      return false;
    }
  } else if (!read_file(path, io_.max_input_size, in.text, why)) {
    io_.err += "qel: cannot read '" + shown_path(path) + "': " + why + '\n';
    return false;
  }
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (std::string_view(in.text).substr(0, 3) == kByteOrderMark) {
    in.text.erase(0, kByteOrderMark.size());
  }
  return true;
}

void report_error(Io& io, const std::string& path, std::string_view text,
                  const Error& error) {
  if (error.kind() == ErrorKind::kParseError) {
    if (std::optional<Diagnostic> d = strict_parse_error(text)) {
      CheckResult shown;
      shown.findings.push_back(std::move(*d));
      render_human(CheckedFile{path, text, &shown, {}}, RenderStyle{}, io.err);
      return;
    }
  }
  io.err += shown_path(path);
  io.err += ": error[";
  io.err += error_kind_name(error.kind());
  io.err += "]: ";
  append_printable(error.kind() == ErrorKind::kParseError
                       ? std::string_view(error.first())
                       : std::string_view(error.to_string()),
                   io.err);
  io.err += '\n';
}

}  // namespace qel::cli
