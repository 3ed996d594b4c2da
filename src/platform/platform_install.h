// Registry store, process list and process start: the operating-system side
// of finding, probing and starting the installed viewer (used by install/).
//
// Same contract as platform.h: no exceptions, no logging; every handle
// returned here is released by its Close/Unload function, and passing null
// to those is harmless.
#pragma once

#include <cstdint>

namespace vxb::plat {

// ---- Registry store below HKEY_LOCAL_MACHINE --------------------------------
//
// Windows: the registry itself. POSIX: a directory tree whose root is the
// directory named by $VXBRIDGE_REGISTRY_ROOT, read on every call (default
// /etc/vxbridge/registry). A key is the directory
// <root>/HKEY_LOCAL_MACHINE/<path with '\' as '/'>, a value is a file in it
// holding the value's bytes (a DWORD as 4 bytes little-endian, a text
// followed by one NUL as the installer writes it).

struct RegKeyImpl;
// Opens the key at path below parent (null parent: below HKEY_LOCAL_MACHINE).
// Null when it does not exist or cannot be opened.
RegKeyImpl* RegOpen(RegKeyImpl* parent, const char* path);
void RegClose(RegKeyImpl* key);
// Reads the named value into buffer; *size is the capacity on entry and the
// number of bytes stored on return. False when the value is absent or its
// data is larger than the capacity (nothing useful is stored then). The
// value's type is not checked. A text is not guaranteed to end in a NUL
// within the capacity: callers keep a terminator of their own.
bool RegQuery(RegKeyImpl* key, const char* name, void* buffer, uint32_t* size);
// Deletes the key at path below HKEY_LOCAL_MACHINE. Windows removes a key
// without subkeys only; POSIX removes the directory with all it holds.
bool RegDeleteKeyPath(const char* path);

// ---- Platform family and paths ----------------------------------------------

// True on the Windows NT family (GetVersionExA reports
// VER_PLATFORM_WIN32_NT); always true on POSIX.
bool IsNtPlatform();
// Writes the long, absolute form of an existing path into buffer (Windows:
// GetLongPathNameA; POSIX: realpath). Returns its length without the NUL;
// 0 when the path does not exist or its long form does not fit into
// capacity bytes including the NUL.
uint32_t LongPathName(const char* path, char* buffer, uint32_t capacity);

// ---- Process list, module method ----------------------------------------------
//
// Windows: the process status functions of "psapi.dll", loaded by name at
// run time (the library never links it). POSIX: the /proc tree.

// The most process ids one enumeration delivers; later processes are not
// listed.
constexpr uint32_t kMaxProcessIds = 512;

struct ModuleApiImpl;
// Loads the enumeration functions. Null when the module or any of its three
// functions is missing (the module is then already unloaded again).
ModuleApiImpl* ModuleApiLoad();
void ModuleApiUnload(ModuleApiImpl* api);
// Fills ids (room for kMaxProcessIds) with the running processes' ids and
// *count with how many were written. False when the list cannot be had.
bool EnumProcessIds(ModuleApiImpl* api, uint32_t* ids, uint32_t* count);

struct ProcessImpl;
// Opens a process for querying its image (Windows: PROCESS_QUERY_INFORMATION
// | PROCESS_VM_READ, else PROCESS_QUERY_LIMITED_INFORMATION; not
// inheritable). Null when that is not allowed.
ProcessImpl* ProcessOpen(uint32_t id);
void ProcessClose(ProcessImpl* process);
// Writes the file name of the process's first module (its executable) into
// buffer, NUL-terminated; returns its length, 0 when it cannot be had or
// does not fit. The name is as the system reports it, not normalised.
// Windows asks the system for the image name where the module list cannot
// be read (a 64-bit process seen from the 32-bit library).
uint32_t ProcessImageName(ModuleApiImpl* api, ProcessImpl* process, char* buffer,
                          uint32_t capacity);

// ---- Process list, snapshot method ---------------------------------------------

// Size of the executable-name field of one snapshot entry.
constexpr uint32_t kSnapshotNameSize = 260;

struct SnapshotImpl;
// A snapshot of the running processes (Windows: CreateToolhelp32Snapshot).
// Null when it cannot be taken.
SnapshotImpl* SnapshotTake();
void SnapshotClose(SnapshotImpl* snapshot);
// Fill name with the executable name of the first / next process of the
// snapshot, NUL-terminated; false when there is none any more. Windows
// reports what the toolhelp entry holds (a full path on the 9x family, the
// file name alone on NT); POSIX the full path of /proc/<pid>/exe, skipping
// processes that cannot be read and paths that do not fit.
bool SnapshotFirst(SnapshotImpl* snapshot, char (&name)[kSnapshotNameSize]);
bool SnapshotNext(SnapshotImpl* snapshot, char (&name)[kSnapshotNameSize]);

// ---- Process start -------------------------------------------------------------

// Starts the program at path with no arguments (Windows: the path in quotes
// as the whole command line), the caller's environment and current
// directory.
// True once the program runs; a path that cannot be started is known at
// once (false). The new process is not tracked: Windows closes its handles
// at once, POSIX reaps it when it ends so no zombie stays in the caller.
bool StartProcess(const char* path);

}  // namespace vxb::plat
