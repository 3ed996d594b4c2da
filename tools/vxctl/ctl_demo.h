// vxctl demo: a complete host session against the viewer simulator, step by
// step, with what each step expected and what it got.
#pragma once

namespace vxctl {

// Runs every step, cleans up whatever it started, prints the transcript on
// stdout and returns 0 only when every step did what it should.
int runDemo();

}  // namespace vxctl
