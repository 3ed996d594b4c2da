// Is the viewer already running? A process matches when its executable is
// the file at the given path: full paths compared in their long, absolute
// form, ignoring ASCII letter case.
#pragma once

namespace vxb {

// True when a running process has this executable. Asks the platform family
// on every call: the module method on the NT family, the snapshot otherwise.
bool IsImageRunning(const char* path);
// Compares the long form of every process's first module (at most the first
// 512 processes the system lists).
bool FindProcessByModules(const char* path);
// Compares the executable name of every entry of a process snapshot, as the
// system reports it, with the long form of path.
bool FindProcessBySnapshot(const char* path);
// Upper-cases the first n bytes of text: a-z become A-Z, all else stays.
void UpperCaseInPlace(char* text, int n);

}  // namespace vxb
