// ParseCall and ParseSystemCall on any message: each takes only its own tag
// ("EXE ", "SYS ") and otherwise leaves the record alone. A call is named up
// to the first "(", its arguments without line feeds and without a ")" that
// ends the text or a line; a system call's text is every byte after the tag
// but line feeds. What FormatCall and FormatSystemCall send reads back, and
// only through its own parser.
#include "fuzz_check.h"
#include "transport/wire_format.h"

namespace {

bool Parse(bool call, const std::string& text, vxb::IncomingMessage& m) {
  m = {77, "name before", "args before"};
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto n = static_cast<uint32_t>(text.size());
  if (call ? vxb::ParseCall(bytes, n, m) : vxb::ParseSystemCall(bytes, n, m)) return true;
  return VXB_CHECK(m.kind == 77 && m.name == "name before" && m.args == "args before"), false;
}

}  // namespace

VXB_FUZZ_ENTRY(parse_message) {
  if (size > (1 << 20)) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const bool call : {true, false}) {
    vxb::IncomingMessage m;
    const bool parsed = Parse(call, text, m);
    VXB_CHECK(parsed == vxbfuzz::Tagged(data, size, call ? "EXE " : "SYS "));
    if (!parsed) continue;
    const size_t open = call ? text.find('(', 4) : 3;
    const std::string name = call ? text.substr(4, open - 4) : "SYS";
    std::string args;
    for (size_t i = open == std::string::npos ? size : open + 1; i < size; ++i) {
      const bool closing = call && text[i] == ')' && (i + 1 == size || text[i + 1] == '\n');
      if (text[i] != '\n' && !closing) args += text[i];
    }
    VXB_CHECK(m.kind == vxb::Call && m.name == name && m.args == args);
    if ((name + args).find('\0') != std::string::npos) continue;
    const std::string wire = call ? vxb::FormatCall(name.c_str(), args.c_str()) : vxb::FormatSystemCall(args.c_str());
    VXB_CHECK(wire == (call ? "EXE " + name + "(" + args + ")" : "SYS " + args) + "\n");
    VXB_CHECK(Parse(call, wire, m) && m.name == name && m.args == args && !Parse(!call, wire, m));
  }
  return 0;
}
