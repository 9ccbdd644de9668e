/* Included first into every source of a wheel build (scripts/dist).
 *
 * The formulas must call the C runtime's exp, sin, cos and fmod at run time,
 * at a version that every glibc from the wheel's baseline (2.17) on has.  A
 * versioned reference can only be bound by libm, never by a definition that
 * some static archive in the link happens to carry, and these name the oldest
 * version of each function, whatever glibc the headers and the link-time
 * libraries come from.  The older exp entry point gives the same results as
 * the newer one (glibc 2.29 only dropped a wrapper that handles errors the
 * caller never sees).
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
