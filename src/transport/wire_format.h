// The framed text messages exchanged with the viewer: a 4-byte
// little-endian length, then "EXE name(args)\n", "SYS text\n" or
// "RET code,length,payload".
#pragma once

#include <cstdint>
#include <string>

namespace vxb {

enum MessageKind : int32_t { NoMessage = 0, Response = 1, Call = 2 };

// A call of the viewer's, as the reader parsed it (kind Call), and as it is
// queued for the dispatcher and kept for VxRecvCmd.
struct IncomingMessage {
  int32_t kind = NoMessage;
  std::string name;  // "SYS" for a system call
  std::string args;
};

std::string FormatCall(const char* name, const char* arguments);
std::string FormatSystemCall(const char* text);

// The header of an answer, "RET code,length,", into out (32 bytes); its
// length.
uint32_t FormatResponseHeader(char (&out)[32], int32_t code, int32_t payloadLength);
// Whether the message's first four bytes (of length) are tag, exactly.
bool HasTag(const uint8_t* bytes, uint32_t length, const char (&tag)[5]);
bool ParseCall(const uint8_t* bytes, uint32_t length, IncomingMessage& message);
bool ParseSystemCall(const uint8_t* bytes, uint32_t length, IncomingMessage& message);
// Parses a RET body of bodyLength bytes. Returns the payload (never reaching
// past the body) or null; payloadLength 0 when null.
const uint8_t* ParseResponse(const uint8_t* text, uint32_t bodyLength, uint32_t* payloadLength,
                             int32_t* code);

}  // namespace vxb
