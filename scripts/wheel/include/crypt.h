/* Python.h of CPython 3.8 to 3.10 includes <crypt.h> where the build machine has it; the
 * wheel toolchain's glibc headers (scripts/dist) do not.  The module never calls crypt. */
#pragma once
#ifdef __cplusplus
extern "C" {
#endif
char *crypt(const char *phrase, const char *setting);
#ifdef __cplusplus
}
#endif
