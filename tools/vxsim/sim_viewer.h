// How the simulated viewer answers the commands a host sends. Pure functions
// over a small state, so the behaviour can be unit tested without sockets.
#pragma once

#include <string>

namespace vxsim {

enum class Edition { Amber, Cobalt };

// Viewer error numbers; always positive, 0 means success.
namespace code {
inline constexpr int kUnknownCommand = 26;
inline constexpr int kInvalidArguments = 27;
inline constexpr int kObjectNotFound = 28;
inline constexpr int kSceneEmpty = 29;
inline constexpr int kUnknownLanguage = 30;
// A command cut short because the viewer is closing (vxsim was stopped).
inline constexpr int kInterrupted = 31;
}  // namespace code

struct ViewerState {
  Edition edition = Edition::Amber;
  std::string version = "3.1.0.0";
  std::string language = "eng";
};

struct Reply {
  int code = 0;
  std::string payload;
  int delayMs = 0;  // the caller waits this long before answering ("Sleep")
};

bool parseEdition(const std::string& text, Edition& out);
bool isKnownLanguage(const std::string& language);
// Message of a viewer error in "eng", "spa" or "cat" (Windows-1252 bytes);
// nullptr for a code the viewer does not know.
const char* errorText(int code, const std::string& language);

Reply answerCall(ViewerState& state, const std::string& name, const std::string& args);
// The answer of a command the viewer gave up as it closes.
Reply interrupted(const ViewerState& state);
Reply answerSys(ViewerState& state, const std::string& text);

}  // namespace vxsim
