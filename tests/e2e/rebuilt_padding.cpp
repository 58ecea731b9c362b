// Linked first into a second build of the crash reporter, so that all of its code lies at other
// offsets, as after any change to it: reports from two builds of the library must still group
// together. Kept by the linker through -u; never called.
extern "C" int VexoRebuiltPadding(int seed) {
  volatile int mix[64];
  for (int i = 0; i < 64; ++i) {
    mix[i] = seed * (i + 7) ^ (seed >> (i & 7));
  }
  int sum = 0;
  for (int i = 0; i < 64; ++i) {
    sum += mix[(i * 13) & 63] * (i | 1);
  }
  return sum;
}
