// Some tests ask the library for allocations that cannot succeed (sizes
// near the address space) to check that it refuses them cleanly.  Under
// AddressSanitizer such a request must come back as a null pointer, the
// way the C library reports it, instead of aborting the test program.
extern "C" const char *__asan_default_options() {
  return "allocator_may_return_null=1";
}
