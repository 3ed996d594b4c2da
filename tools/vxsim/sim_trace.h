// Human-readable renderings of wire traffic: one-line escaped text, and a
// frame dump with offsets that can be pasted into protocol notes as is.
#pragma once

#include <string>

namespace vxsim {

// Printable ASCII stays; '\\', LF, CR, TAB become \\ \n \r \t, all else \xNN.
std::string escapeText(const std::string& bytes);

// Multi-line dump of a whole frame (length prefix included) of `message`;
// `sent` selects the ">>" (sent) or "<<" (received) marker.
std::string traceFrame(bool sent, const std::string& message);

}  // namespace vxsim
