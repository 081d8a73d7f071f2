// A library that stands in for one of CUDA's in the library search tests:
// it needs what it was linked against and does nothing else.
extern "C" __attribute__((visibility("default"))) int QELMO_STAND_IN_SYMBOL() { return 1; }
