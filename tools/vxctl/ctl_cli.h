// vxctl's command line: parsing, and running one command against a viewer
// through the library's exports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vxctl {

inline constexpr const char* kDefaultHost = "127.0.0.1";
inline constexpr std::uint32_t kDefaultPort = 27800;

extern const char* const kUsage;

struct Options {
  std::string host = kDefaultHost;
  std::uint32_t port = kDefaultPort;
  std::string language = "eng";  // of the messages vxctl prints
  bool trace = false;             // the library's wire trace on stderr
  std::string command;
  std::vector<std::string> args;  // the command's own arguments
};

enum class Parse { Run, Help, Version, Bad };

// Parses argv[1..]; on Bad, why says what is wrong.
Parse parseCommandLine(const std::vector<std::string>& words, Options& options, std::string& why);

// "vxctl VERSION (library VERSION)" on stdout.
void printVersion();

// Runs the parsed command; returns the process exit status (0 success,
// 1 failure with the library's or the viewer's message on stderr).
int runCommand(const Options& options);

}  // namespace vxctl
