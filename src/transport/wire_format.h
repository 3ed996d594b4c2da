// The framed text messages exchanged with the viewer: a 4-byte
// little-endian length, then "EXE name(args)\n", "SYS text\n" or
// "RET code,length,payload".
#pragma once

#include <cstdint>
#include <string>

#include "socket_link.h"

namespace vxb {

enum MessageKind : int32_t { Broken = -1, NoMessage = 0, Response = 1, Call = 2 };

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
// Called once a response's head is in, before its body is read into the
// response slot: a reader may put the block it wants the body in there.
// False when it has none; the link is then closed and the read ends (-11).
using BeforeResponseFn = bool (*)(void* context);

int ReadMessage(SocketLink& link, IncomingMessage& message, BeforeResponseFn before = nullptr,
                void* context = nullptr);
bool ParseCall(const uint8_t* bytes, uint32_t length, IncomingMessage& message);
bool ParseSystemCall(const uint8_t* bytes, uint32_t length, IncomingMessage& message);
// Parses a RET body of bodyLength bytes. Returns the payload (never reaching
// past the body) or null; payloadLength 0 when null.
const uint8_t* ParseResponse(const uint8_t* text, uint32_t bodyLength, uint32_t* payloadLength,
                             int32_t* code);

}  // namespace vxb
