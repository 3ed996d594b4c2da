// ParseSystemCall on any message: a record untouched unless "SYS "; the text
// is every byte after the tag but line feeds; what FormatSystemCall sends
// reads back, and never as a call.
#include "fuzz_check.h"
#include "transport/wire_format.h"

VXB_FUZZ_ENTRY(parse_system_call) {
  if (size > (1 << 20)) return 0;
  vxb::IncomingMessage m{77, "name before", "args before", 0};
  const bool parsed = vxb::ParseSystemCall(data, static_cast<uint32_t>(size), m);
  VXB_CHECK(parsed == vxbfuzz::Tagged(data, size, "SYS "));
  if (!parsed) return VXB_CHECK(m.kind == 77 && m.name == "name before" && m.args == "args before"), 0;
  std::string text;
  for (size_t i = 4; i < size; ++i) {
    if (data[i] != '\n') text += static_cast<char>(data[i]);
  }
  VXB_CHECK(m.kind == vxb::Call && m.name == "SYS" && m.args == text);

  if (text.find('\0') == std::string::npos) {
    const std::string wire = vxb::FormatSystemCall(text.c_str());
    VXB_CHECK(wire == "SYS " + text + "\n");
    vxb::IncomingMessage back;
    const auto* bytes = reinterpret_cast<const uint8_t*>(wire.data());
    VXB_CHECK(vxb::ParseSystemCall(bytes, static_cast<uint32_t>(wire.size()), back));
    VXB_CHECK(back.kind == vxb::Call && back.name == "SYS" && back.args == text);
    VXB_CHECK(!vxb::ParseCall(bytes, static_cast<uint32_t>(wire.size()), back));
  }
  return 0;
}
