// ParseSystemCall on any message bytes, and the round trip through
// FormatSystemCall.
#include <string>

#include "fuzz_check.h"
#include "transport/wire_format.h"

namespace {
constexpr size_t kMaxInput = 1 << 20;
}  // namespace

VXB_FUZZ_ENTRY(parse_system_call) {
  if (size > kMaxInput) return 0;
  const auto length = static_cast<uint32_t>(size);

  vxb::IncomingMessage m;
  m.kind = 77;
  m.name = "name before";
  m.args = "args before";
  const bool parsed = vxb::ParseSystemCall(data, length, m);
  const bool isSystemCall = size >= 4 && std::memcmp(data, "SYS ", 4) == 0;
  VXB_CHECK(parsed == isSystemCall);
  if (!parsed) {
    VXB_CHECK(m.kind == 77 && m.name == "name before" && m.args == "args before");
    return 0;
  }
  VXB_CHECK(m.kind == vxb::Call);
  VXB_CHECK(m.name == "SYS");

  // The text is every byte after the tag but the line feeds.
  std::string expected;
  for (size_t i = 4; i < size; ++i) {
    if (data[i] != '\n') expected += static_cast<char>(data[i]);
  }
  VXB_CHECK(m.args == expected);
  VXB_CHECK(m.args.find('\n') == std::string::npos);

  if (m.args.find('\0') == std::string::npos) {
    const std::string wire = vxb::FormatSystemCall(m.args.c_str());
    VXB_CHECK(wire.size() == m.args.size() + 5 && wire.back() == '\n');
    vxb::IncomingMessage back;
    VXB_CHECK(vxb::ParseSystemCall(reinterpret_cast<const uint8_t*>(wire.data()),
                                   static_cast<uint32_t>(wire.size()), back));
    VXB_CHECK(back.kind == vxb::Call && back.name == "SYS" && back.args == m.args);
    // A system call is never taken for a call, nor the other way round.
    VXB_CHECK(!vxb::ParseCall(reinterpret_cast<const uint8_t*>(wire.data()),
                              static_cast<uint32_t>(wire.size()), back));
  }
  return 0;
}
