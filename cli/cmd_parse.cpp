// qel parse: the contract JSON.
#include "command.h"
#include "qel/api.h"
#include "qel/executor.h"
#include "qel/parser.h"
#include "streamed_output.h"

namespace qel::cli {

int cmd_parse(const std::vector<std::string>& args, Io& io) {
  const Args a = Args::parse(args, {});
  if (!a.error.empty()) return usage_error(io, "parse: " + a.error);
  if (!a.options.empty()) {
    return usage_error(io, "parse: unknown option '" + a.options[0].first + "'");
  }
  if (a.operands.size() != 1) return usage_error(io, "parse takes one file");
  InputReader reader(io);
  Input in;
  if (!reader.read(a.operands[0], in)) return 2;
  // The JSON is longer than the contract: it goes out as it is written
  // rather than being held, and copied, whole.
  StreamedOutput out(io);
  if (std::optional<Error> error =
          parse_contract_json(in.text, out, out.handing_on())) {
    report_error(io, in.path, in.text, *error);
    return 1;
  }
  out += '\n';
  out.finish();
  return 0;
}

}  // namespace qel::cli
