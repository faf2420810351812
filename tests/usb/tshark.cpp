#include "tshark.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace hk::test {

bool TsharkInstalled() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && access((dir + "/tshark").c_str(), X_OK) == 0) return true;
  return false;
}

TsharkOutput TsharkFields(const std::string& capture, const std::vector<std::string>& fields) {
  TsharkOutput out;
  std::string errors = capture + ".tshark-errors";
  std::string command = "tshark -n -r '" + capture + "' -T fields -E separator=/t";
  for (const auto& f : fields) command += " -e " + f;
  command += " 2>'" + errors + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    out.Errors = "could not run: " + command;
    return out;
  }
  std::string text;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  int status = pclose(pipe);
  out.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream complaints(errors);
  for (std::string line; std::getline(complaints, line);)
    if (line.find("Running as user \"root\"") == std::string::npos) out.Errors += line + "\n";
  std::remove(errors.c_str());
  std::stringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::map<std::string, std::string> row;
    std::stringstream values(line);
    std::string value;
    for (const auto& f : fields) {
      if (!std::getline(values, value, '\t')) break;
      if (!value.empty()) row[f] = value;
    }
    out.Rows.push_back(std::move(row));
  }
  return out;
}

}  // namespace hk::test
