// The shared library is linked from the static core; this unit only gives
// the target a source of its own.
namespace vxb {
int ExportsAnchor() { return 0; }
}  // namespace vxb
