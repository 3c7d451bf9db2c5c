// qel parse and qel run: the contract JSON, and an execution's result.
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

int cmd_run(const std::vector<std::string>& args, Io& io) {
  const Args a = Args::parse(args, {});
  if (!a.error.empty()) return usage_error(io, "run: " + a.error);
  if (!a.options.empty()) {
    return usage_error(io, "run: unknown option '" + a.options[0].first + "'");
  }
  if (a.operands.size() != 2) {
    return usage_error(io, "run takes a contract file and a requests file");
  }
  if (a.operands[0] == "-" && a.operands[1] == "-") {
    return usage_error(io, "run: only one of the two files can be standard input");
  }
  InputReader reader(io);
  Input contract_in, requests_in;
  if (!reader.read(a.operands[0], contract_in) ||
      !reader.read(a.operands[1], requests_in)) {
    return 2;
  }
  Result<Contract> contract = parse_contract(contract_in.text);
  if (!contract.ok()) {
    report_error(io, contract_in.path, contract_in.text, contract.error());
    return 1;
  }
  Result<std::string> result = execute_contract(*contract, requests_in.text);
  if (!result.ok()) {
    report_error(io, requests_in.path, requests_in.text, result.error());
    return 1;
  }
  io.out += *result;
  io.out += '\n';
  // The result's top-level "success" member tells whether a request failed;
  // it is the second member, written by our own writer.
  const bool success =
      result->find("\n  \"success\": true,") != std::string::npos;
  return success ? 0 : 1;
}

}  // namespace qel::cli
