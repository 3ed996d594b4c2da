#include "sim_viewer.h"

#include <cerrno>
#include <cstdlib>

namespace vxsim {
namespace {

struct ErrorEntry {
  int code;
  const char* eng;
  const char* spa;
  const char* cat;
};

// Spanish and Catalan texts are Windows-1252, as the viewer sends them.
const ErrorEntry kErrors[] = {
    {code::kUnknownCommand, "Unknown command", "Comando desconocido", "Ordre desconeguda"},
    {code::kInvalidArguments, "Invalid arguments", "Argumentos no v\xE1lidos",
     "Arguments no v\xE0lids"},
    {code::kObjectNotFound, "Object not found", "Objeto no encontrado", "Objecte no trobat"},
    {code::kSceneEmpty, "Scene is empty", "La escena est\xE1 vac\xED" "a", "L'escena \xE9s buida"},
    {code::kUnknownLanguage, "Unsupported language", "Idioma no admitido", "Llengua no admesa"},
    {code::kInterrupted, "Command interrupted", "Comando interrumpido", "Ordre interrompuda"},
};

Reply failure(const ViewerState& state, int code) {
  const char* text = errorText(code, state.language);
  return Reply{code, text != nullptr ? text : "", 0};
}

Reply ok(const std::string& payload = "OK") { return Reply{0, payload, 0}; }

// 'text' -> text; false when the argument is not between apostrophes.
bool unquote(const std::string& arg, std::string& out) {
  if (arg.size() < 2 || arg.front() != '\'' || arg.back() != '\'') return false;
  out = arg.substr(1, arg.size() - 2);
  return true;
}

bool parseInteger(const std::string& text, int base, long long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoll(text.c_str(), &end, base);
  while (*end == ' ') ++end;
  return errno == 0 && *end == '\0';
}

Reply errorString(const ViewerState& state, const std::string& args) {
  const std::size_t comma = args.find(',');
  std::string language;
  long long number = 0;
  if (comma == std::string::npos || !unquote(args.substr(0, comma), language) ||
      !parseInteger(args.substr(comma + 1), 16, number) || number < 0 || number > 0x7FFFFFFF)
    return failure(state, code::kInvalidArguments);
  if (!isKnownLanguage(language)) return failure(state, code::kUnknownLanguage);
  const char* text = errorText(static_cast<int>(number), language);
  return ok(text != nullptr ? text : "");
}

Reply add(const ViewerState& state, const std::string& args) {
  const std::size_t comma = args.find(',');
  long long a = 0, b = 0;
  if (comma == std::string::npos || !parseInteger(args.substr(0, comma), 10, a) ||
      !parseInteger(args.substr(comma + 1), 10, b))
    return failure(state, code::kInvalidArguments);
  return ok(std::to_string(a + b));
}

}  // namespace

bool parseEdition(const std::string& text, Edition& out) {
  if (text == "Amber") out = Edition::Amber;
  else if (text == "Cobalt") out = Edition::Cobalt;
  else return false;
  return true;
}

bool isKnownLanguage(const std::string& language) {
  return language == "eng" || language == "spa" || language == "cat";
}

const char* errorText(int code, const std::string& language) {
  for (const ErrorEntry& e : kErrors) {
    if (e.code != code) continue;
    if (language == "spa") return e.spa;
    if (language == "cat") return e.cat;
    return e.eng;
  }
  return nullptr;
}

Reply answerCall(ViewerState& state, const std::string& name, const std::string& args) {
  if (name == "VxGetTypeViewer") return ok(state.edition == Edition::Cobalt ? "1002" : "1001");
  if (name == "VxProductVersion") return ok(state.version);
  if (name == "VxSetLanguage") {
    std::string language;
    if (!unquote(args, language)) return failure(state, code::kInvalidArguments);
    if (!isKnownLanguage(language)) return failure(state, code::kUnknownLanguage);
    state.language = language;
    return ok();
  }
  if (name == "GetErrorString") return errorString(state, args);
  if (name == "Echo") return ok(args);
  if (name == "LoadScene") {
    std::string file;
    if (!unquote(args, file) || file.empty()) return failure(state, code::kInvalidArguments);
    return ok();
  }
  if (name == "GetCameraPosition") return ok("0.0,0.0,10.0");
  if (name == "Add") return add(state, args);
  if (name == "Sleep") {
    long long ms = 0;
    if (!parseInteger(args, 10, ms) || ms < 0 || ms > 600000)
      return failure(state, code::kInvalidArguments);
    return Reply{0, "OK", static_cast<int>(ms)};
  }
  return failure(state, code::kUnknownCommand);
}

Reply interrupted(const ViewerState& state) { return failure(state, code::kInterrupted); }

Reply answerSys(ViewerState& state, const std::string& text) {
  if (text == "FLUSH" || text == "CANCELALL") return ok();
  return failure(state, code::kUnknownCommand);
}

}  // namespace vxsim
