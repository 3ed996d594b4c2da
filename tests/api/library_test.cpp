// Utility exports, through the built library.
#include <gtest/gtest.h>

#include <climits>

#include "vxbridge.h"

namespace {

// A minimal COM object: a pointer to a function table whose entry 1 is
// AddRef, called with the object.
struct FakeUnknown;
using Slot = unsigned long(VXAPI*)(FakeUnknown*);
struct FakeUnknown { const Slot* table; unsigned long refs; };
unsigned long VXAPI AddRefSlot(FakeUnknown* self) { return ++self->refs; }
unsigned long VXAPI OtherSlot(FakeUnknown*) { return 0x7777; }
const Slot kTable[] = {OtherSlot, AddRefSlot, OtherSlot};

TEST(Library, UtilityExports) {
  uint32_t version = 0;
  EXPECT_EQ(VxGetLibVersion(&version), 0);
  EXPECT_EQ(version, 0x01000000u);
  EXPECT_EQ(VxGetLibVersion(nullptr), 0);  // ignored, no crash
  for (int32_t v : {0, 1, -1, 42, INT32_MIN, INT32_MAX}) EXPECT_EQ(VxGetPtr(v), v);
  EXPECT_EQ(VxFreeA(nullptr), 0);
  EXPECT_EQ(VxFreeW(nullptr), 0);
  // VxGetIUnknown adds exactly one reference.
  FakeUnknown object{kTable, 1};
  EXPECT_EQ(VxGetIUnknown(&object), &object);
  EXPECT_EQ(object.refs, 2u);
  EXPECT_EQ(VxGetIUnknown(nullptr), nullptr);
}

}  // namespace
