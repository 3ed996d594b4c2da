// ParseCall on any message bytes: the split into name and arguments, and
// the round trip through FormatCall.
#include <string>

#include "fuzz_check.h"
#include "transport/wire_format.h"

namespace {

constexpr size_t kMaxInput = 1 << 20;

bool IsCall(const uint8_t* data, size_t size) {
  return size >= 4 && std::memcmp(data, "EXE ", 4) == 0;
}

// The split as the message layout defines it: the name runs from after
// the tag to the first "(" (or the end); of what follows, line feeds are
// dropped, and so is a ")" that is the last byte or stands just before a
// line feed.
void ReferenceSplit(const uint8_t* data, size_t size, std::string* name, std::string* args) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const size_t open = text.find('(', 4);
  *name = text.substr(4, open == std::string::npos ? std::string::npos : open - 4);
  args->clear();
  if (open == std::string::npos) return;
  for (size_t i = open + 1; i < text.size(); ++i) {
    const char c = text[i];
    const bool closing = c == ')' && (i + 1 == text.size() || text[i + 1] == '\n');
    if (c != '\n' && !closing) *args += c;
  }
}

}  // namespace

VXB_FUZZ_ENTRY(parse_call) {
  if (size > kMaxInput) return 0;
  const auto length = static_cast<uint32_t>(size);

  vxb::IncomingMessage m;
  m.kind = 77;
  m.name = "name before";
  m.args = "args before";
  const bool parsed = vxb::ParseCall(data, length, m);
  VXB_CHECK(parsed == IsCall(data, size));
  if (!parsed) {
    // Anything but a call leaves the record as it was.
    VXB_CHECK(m.kind == 77 && m.name == "name before" && m.args == "args before");
    return 0;
  }
  VXB_CHECK(m.kind == vxb::Call);
  VXB_CHECK(m.args.find('\n') == std::string::npos);
  VXB_CHECK(m.name.find('(') == std::string::npos);
  VXB_CHECK(m.name.size() + m.args.size() + 4 <= size);

  std::string name;
  std::string args;
  ReferenceSplit(data, size, &name, &args);
  VXB_CHECK(m.name == name);
  VXB_CHECK(m.args == args);

  // What the library sends as a call, it reads back unchanged (texts
  // without NUL: the formatter takes C texts).
  if (m.name.find('\0') == std::string::npos && m.args.find('\0') == std::string::npos) {
    const std::string wire = vxb::FormatCall(m.name.c_str(), m.args.c_str());
    VXB_CHECK(wire.size() == m.name.size() + m.args.size() + 7);
    vxb::IncomingMessage back;
    VXB_CHECK(vxb::ParseCall(reinterpret_cast<const uint8_t*>(wire.data()),
                             static_cast<uint32_t>(wire.size()), back));
    VXB_CHECK(back.kind == vxb::Call && back.name == m.name && back.args == m.args);
  }
  return 0;
}
