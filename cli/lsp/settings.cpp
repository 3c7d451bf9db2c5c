// Settings the client sends: {"qel": {"select": [...], "ignore": [...],
// "strict": bool}}. Each one given replaces the configuration file's; one
// left out, or null, goes back to the file's. Settings with an unknown
// code change nothing (the server logs why).
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "lsp/features.h"

namespace qel::cli::lsp {

namespace {

std::optional<std::vector<std::string>> codes(const json& qel,
                                              const char* key) {
  const auto it = qel.find(key);
  if (it == qel.end() || it->is_null()) return std::nullopt;
  std::vector<std::string> out;
  for (const json& code : *it) {
    std::string selector = code.get<std::string>();
    // A typo would otherwise select nothing, silently.
    if (!is_rule_selector(selector)) {
      throw std::runtime_error("unknown rule code '" + selector + "' in " +
                               key);
    }
    out.push_back(std::move(selector));
  }
  return out;
}

}  // namespace

void did_change_configuration(Session& session, const json& params) {
  const json* qel = find_path(params, {"settings", "qel"});
  ClientSettings settings;
  if (qel != nullptr && qel->is_object()) {
    settings.select = codes(*qel, "select");
    settings.ignore = codes(*qel, "ignore");
    const auto strict = qel->find("strict");
    if (strict != qel->end() && !strict->is_null()) {
      settings.strict = strict->get<bool>();
    }
  }
  // Parsed whole before it replaces anything: a malformed one changes
  // nothing.
  session.settings = std::move(settings);
  for (auto& entry : session.documents) entry.second->stale = true;
}

CheckOptions with_client_settings(CheckOptions options,
                                  const ClientSettings& settings) {
  if (settings.select) options.select = settings.select;
  if (settings.ignore) options.ignore = *settings.ignore;
  if (settings.strict) options.strict = *settings.strict;
  return options;
}

}  // namespace qel::cli::lsp
