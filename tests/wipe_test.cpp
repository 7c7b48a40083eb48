// The wipe must survive optimisation. Reading storage back after destruction
// cannot prove that (the read keeps the store alive), so this test looks at
// the machine code instead: each probe function, compiled at -O2, must still
// call explicit_bzero.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <string>

namespace {

// Function name -> its disassembly, for every function in the probe object.
std::map<std::string, std::string> disassemble(const std::string& object) {
  const std::string command = "objdump -d --no-show-raw-insn -C -r " + object;
  std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), pclose);
  std::map<std::string, std::string> functions;
  if (!pipe) return functions;
  const std::regex header(R"(^[0-9a-f]+ <(.+)>:$)");
  std::string current;
  char line[4096];
  while (fgets(line, sizeof line, pipe.get()) != nullptr) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    std::smatch m;
    if (std::regex_match(text, m, header)) {
      current = m[1];
    } else if (!current.empty()) {
      functions[current] += text + "\n";
    }
  }
  return functions;
}

TEST(Wipe, OptimisedDestructorsStillCallTheWipePrimitive) {
  const auto functions = disassemble(UNSEAL_WIPE_PROBE);
  ASSERT_FALSE(functions.empty()) << "objdump produced nothing for " << UNSEAL_WIPE_PROBE;
  for (const char* probe : {"unsealProbeBlock16", "unsealProbeBlock32", "unsealProbeAes256"}) {
    const auto it = functions.find(probe);
    ASSERT_NE(it, functions.end()) << probe << " not found";
    EXPECT_NE(it->second.find("explicit_bzero"), std::string::npos)
        << probe << " lost its wipe:\n" << it->second;
  }
}

}  // namespace
