// Registry store, process list and process start: the operating-system side
// of finding, probing and starting the installed viewer.
#pragma once

#include <cstdint>

namespace vxb::plat {

// Keys below HKEY_LOCAL_MACHINE. On POSIX the store is a directory tree
// rooted at $VXBRIDGE_REGISTRY_ROOT (default /etc/vxbridge/registry).
struct RegKeyImpl;
// Opens path below parent (null parent: below HKEY_LOCAL_MACHINE).
RegKeyImpl* RegOpen(RegKeyImpl* parent, const char* path);
void RegClose(RegKeyImpl* key);
// Reads a value into buffer; in: capacity, out: bytes stored. False when
// absent or larger than the buffer.
bool RegQuery(RegKeyImpl* key, const char* name, void* buffer, uint32_t* size);
// Deletes the key at path below HKEY_LOCAL_MACHINE.
bool RegDeleteKeyPath(const char* path);

}  // namespace vxb::plat
