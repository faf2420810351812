// Runs tshark over a capture, so tests check it against Wireshark's own USBPcap dissector.
#pragma once
#include <map>
#include <string>
#include <vector>

namespace hk::test {

bool TsharkInstalled();

struct TsharkOutput {
  int ExitCode = -1;
  std::string Errors;  // tshark's complaints, without its warning about running as root
  std::vector<std::map<std::string, std::string>> Rows;  // one per frame: field -> value
};

// `tshark -r capture -T fields -e field...`; a field missing from a frame is absent from its row.
TsharkOutput TsharkFields(const std::string& capture, const std::vector<std::string>& fields);

}  // namespace hk::test
