// Result buffers (blocks handed to the host and given back with VxFreeA/W)
// and the two text conversions of the W functions.
#pragma once

#include <cstdint>

#include "vxbridge.h"

namespace vxb {

// A block of size bytes for a caller that writes all of it (a host finds
// its text, then zero bytes): nothing is filled twice. Null when it cannot
// be had.
void* AllocResultUnfilled(uint32_t size);
void FreeResult(void* block);

// Units before the first 0 unit, counting at most 32767.
uint32_t WideLength(const VxWChar* text);
// UTF-16 -> bytes: the low byte of each unit (at most 32767 of them).
char* NarrowText(const VxWChar* text);
// Bytes -> UTF-16: each byte sign-extended (0xE9 -> 0xFFE9).
VxWChar* WidenText(const char* text);
// The same widening for length bytes that may hold NULs.
VxWChar* WidenBytes(const char* bytes, uint32_t length);

}  // namespace vxb
