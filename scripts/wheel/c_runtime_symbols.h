/* Included first into every source of a wheel build (scripts/dist).
 *
 * The formulas must call the C runtime's exp, sin, cos and fmod at run time.
 * zig's compiler_rt archive also defines these functions, and a regular
 * object's definition wins over a shared library's at link time: once the
 * archive is pulled in for any helper (the 128-bit remainder needs __umodti3),
 * the module would carry compiler_rt's own math instead of glibc's.  A
 * versioned reference can only be bound by libm, so these name the oldest
 * version of each function that the wheel's glibc baseline (2.17) has.  The
 * older exp entry point gives the same results as the newer one (glibc 2.29
 * only dropped a wrapper that handles errors the caller never sees).
 */
#if defined(__linux__)
#  if defined(__x86_64__)
#    define UNDARIX_C_RUNTIME_BASE "GLIBC_2.2.5"
#  elif defined(__aarch64__)
#    define UNDARIX_C_RUNTIME_BASE "GLIBC_2.17"
#  else
#    error "wheel builds target x86_64 and aarch64 only"
#  endif
__asm__(".symver exp,exp@" UNDARIX_C_RUNTIME_BASE);
__asm__(".symver sin,sin@" UNDARIX_C_RUNTIME_BASE);
__asm__(".symver cos,cos@" UNDARIX_C_RUNTIME_BASE);
__asm__(".symver fmod,fmod@" UNDARIX_C_RUNTIME_BASE);
#endif
