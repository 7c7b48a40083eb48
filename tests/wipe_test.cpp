// The wipe must survive optimisation. Reading storage back after destruction
// cannot prove that (the read keeps the store alive), so this test reads the
// machine code instead: each probe function, compiled at -O2, must still
// write at least as many zero bytes to memory as the secrets it destroys hold.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>

namespace {

// Function name -> its instructions, for every function in the probe object.
std::map<std::string, std::vector<std::string>> disassemble(const std::string& object) {
  const std::string command = "objdump -d --no-show-raw-insn -C " + object;
  std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), pclose);
  std::map<std::string, std::vector<std::string>> functions;
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
    } else if (!current.empty() && text.find(":\t") != std::string::npos) {
      functions[current].push_back(text.substr(text.find(":\t") + 2));
    }
  }
  return functions;
}

// Zero bytes the code stores to memory: vector registers cleared by an XOR
// idiom and then stored, and immediate zeros. A call to a memset-like routine
// counts as a wipe of unknown size (large or sanitised builds make them).
std::size_t zeroBytesStored(const std::vector<std::string>& code, bool& callsMemset) {
  static const std::regex zeroIdiom(
      R"(^v?(pxor|xorps|xorpd)\s+(%[xyz]mm\d+),(%[xyz]mm\d+)(,(%[xyz]mm\d+))?)");
  static const std::regex vectorStore(R"(^v?mov(aps|ups|dqa|dqu|dqa64|dqu8|dqu64)\s+(%[xyz]mm\d+),.*\()");
  static const std::regex immediateStore(R"(^mov([bwlq])\s+\$0x0,.*\()");
  std::set<std::string> zeroed;
  std::size_t bytes = 0;
  for (const std::string& insn : code) {
    std::smatch m;
    if (std::regex_search(insn, m, zeroIdiom) && m[2] == m[3]) {
      zeroed.insert(m[3].str().substr(1));
      if (m[5].matched) zeroed.insert(m[5].str().substr(1));
    } else if (std::regex_search(insn, m, vectorStore)) {
      const std::string reg = m[2].str().substr(1);
      if (zeroed.count(reg)) bytes += reg[0] == 'x' ? 16 : reg[0] == 'y' ? 32 : 64;
    } else if (std::regex_search(insn, m, immediateStore)) {
      bytes += std::size_t{1} << std::string("bwlq").find(m[1].str()[0]);
    } else if (insn.find("call") == 0 && insn.find("memset") != std::string::npos) {
      callsMemset = true;
    } else {
      // Any other write to a cleared register (the last operand) ends its zero state.
      const auto comma = insn.rfind(',');
      if (comma != std::string::npos && insn[comma + 1] == '%') zeroed.erase(insn.substr(comma + 2));
    }
  }
  return bytes;
}

TEST(Wipe, OptimisedDestructorsStillWriteTheirZeros) {
  const auto functions = disassemble(UNSEAL_WIPE_PROBE);
  ASSERT_FALSE(functions.empty()) << "objdump produced nothing for " << UNSEAL_WIPE_PROBE;
  const struct {
    const char* name;
    std::size_t secretBytes;
  } probes[] = {{"unsealProbeBlock16", 16}, {"unsealProbeBlock32", 32}, {"unsealProbeAes256", 64}};
  for (const auto& probe : probes) {
    const auto it = functions.find(probe.name);
    ASSERT_NE(it, functions.end()) << probe.name << " not found";
    bool callsMemset = false;
    const std::size_t zeros = zeroBytesStored(it->second, callsMemset);
    EXPECT_TRUE(callsMemset || zeros >= probe.secretBytes)
        << probe.name << " stores " << zeros << " zero bytes for " << probe.secretBytes << " secret bytes";
  }
  // A plain memset before the end of a lifetime is deleted: the check sees it.
  bool controlCallsMemset = false;
  EXPECT_EQ(zeroBytesStored(functions.at("unsealProbeControl"), controlCallsMemset), 0u);
  EXPECT_FALSE(controlCallsMemset);
}

}  // namespace
