// The POSIX side reports socket errors in Winsock's numbering, so the layers
// above see one set of numbers on every platform.
#pragma once

namespace vxb::plat {

// errno -> the Winsock number of the same failure (kErrInvalid when
// Winsock has no twin).
int WinsockErrorOf(int e);

}  // namespace vxb::plat
