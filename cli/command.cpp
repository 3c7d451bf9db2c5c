#include "command.h"

#include "diagnostics.h"
#include "source_view.h"

namespace qel::cli {

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
  FileReport report;
  report.path = path;
  report.findings.push_back(finding_of(error));
  write_human(report, text, Style{}, io.err);
}

}  // namespace qel::cli
