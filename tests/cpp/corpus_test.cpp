// The conformance corpus (tests/corpus/) pins the contract JSON as the Python
// module returns it, written while parsing. The executor reads the model
// built by lowering instead, so the model's JSON must match the same
// expected files, contract by contract.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qel/model.h"
#include "qel/parser.h"

namespace qel {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return std::move(text).str();
}

std::vector<fs::path> corpus_contracts() {
  const fs::path root(QEL_SOURCE_DIR);
  std::vector<fs::path> paths;
  for (const fs::path& dir : {root / "examples", root / "tests/corpus/contracts"}) {
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
      if (entry.path().extension() == ".qel") paths.push_back(entry.path());
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

TEST(CorpusModel, LoweredModelWritesTheExpectedJson) {
  const std::vector<fs::path> contracts = corpus_contracts();
  ASSERT_GE(contracts.size(), 50u);
  const fs::path expected_dir = fs::path(QEL_SOURCE_DIR) / "tests/corpus/expected";
  for (const fs::path& path : contracts) {
    SCOPED_TRACE(path.filename().string());
    const fs::path expected_path =
        expected_dir / (path.stem().string() + ".parse_contract.txt");
    ASSERT_TRUE(fs::exists(expected_path));
    Result<Contract> contract = parse_contract(read_file(path));
    std::string written;
    if (contract.ok()) {
      write_contract_json(*contract, written);
    } else {
      written = "ValueError: " + contract.error().to_string();
    }
    EXPECT_EQ(written, read_file(expected_path));
  }
}

}  // namespace
}  // namespace qel
