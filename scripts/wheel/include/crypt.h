/* Python.h of CPython 3.8 to 3.10 includes <crypt.h> where the build machine has it; a
 * wheel toolchain's target headers (scripts/dist) need not have it.  The module never calls
 * crypt, and the headers' own declaration comes first where they have one. */
#pragma once
#ifdef __cplusplus
extern "C" {
#endif
char *crypt(const char *phrase, const char *setting);
#ifdef __cplusplus
}
#endif
