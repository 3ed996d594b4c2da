// ParseCall on any message: a record untouched unless "EXE "; the name up to
// the first "(", then the arguments without line feeds and without a ")"
// that ends the text or a line; what FormatCall sends reads back.
#include "fuzz_check.h"
#include "transport/wire_format.h"

VXB_FUZZ_ENTRY(parse_call) {
  if (size > (1 << 20)) return 0;
  vxb::IncomingMessage m{77, "name before", "args before", 0};
  const bool parsed = vxb::ParseCall(data, static_cast<uint32_t>(size), m);
  VXB_CHECK(parsed == vxbfuzz::Tagged(data, size, "EXE "));
  if (!parsed) return VXB_CHECK(m.kind == 77 && m.name == "name before" && m.args == "args before"), 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const size_t open = text.find('(', 4);
  std::string args;
  for (size_t i = open == std::string::npos ? size : open + 1; i < size; ++i) {
    const bool closing = text[i] == ')' && (i + 1 == size || text[i + 1] == '\n');
    if (text[i] != '\n' && !closing) args += text[i];
  }
  VXB_CHECK(m.kind == vxb::Call && m.name == text.substr(4, open - 4) && m.args == args);

  if (m.name.find('\0') == std::string::npos && m.args.find('\0') == std::string::npos) {
    const std::string wire = vxb::FormatCall(m.name.c_str(), m.args.c_str());
    VXB_CHECK(wire == "EXE " + m.name + "(" + m.args + ")\n");
    vxb::IncomingMessage back;
    VXB_CHECK(vxb::ParseCall(reinterpret_cast<const uint8_t*>(wire.data()), static_cast<uint32_t>(wire.size()), back));
    VXB_CHECK(back.kind == vxb::Call && back.name == m.name && back.args == m.args);
  }
  return 0;
}
