#include "library_state.h"

namespace vxb {
namespace {
LibraryState g_state;
}

LibraryState& State() { return g_state; }

LibraryState::~LibraryState() {
  dispatcher.SetCallHandler(nullptr);
  dispatcher.SetBrokenHandler(nullptr);
  link.CloseData();
  reader.Wait();
  dispatcher.Wait();
  plat::FreeBlock(lastAnswer.data);
}

int LinkObjects() {
  LibraryState& s = State();
  if (s.objectsLinked) return 0;
  s.objectsLinked = true;
  s.reader.SetDispatcher(&s.dispatcher);
  s.reader.SetLink(&s.link);
  s.reader.SetResponseSignal(&s.responseSignal);
  s.dispatcher.SetLink(&s.link);
  return 0;
}

void StartWorkers() {
  LibraryState& s = State();
  s.reader.Wait();
  s.dispatcher.Wait();
  s.responseSignal.Reset();
  s.dispatcher.Start();
  s.reader.Start();
}

bool OnWorkerThread() {
  LibraryState& s = State();
  return s.reader.IsCurrentThread() || s.dispatcher.IsCurrentThread();
}

}  // namespace vxb
