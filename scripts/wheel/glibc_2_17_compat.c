/* Linked into every module of a wheel build (scripts/dist), hidden.
 *
 * The wheels carry GCC's C++ runtime, linked statically from the build
 * machine's libstdc++.a, and link against glibc 2.17's symbol set.  That
 * archive was compiled for the build machine's newer glibc, and the members
 * the module pulls in name five symbols glibc 2.17 lacks.  Each is defined
 * here with the meaning the C++ runtime relies on, in terms of what 2.17 has,
 * so that the module loads on every glibc from 2.17 on.
 */
#define _GNU_SOURCE
#include <ctype.h>
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#define HIDDEN __attribute__((visibility("hidden")))

/* glibc 2.32: whether the process has only ever had one thread.  Answering
 * "no" always is safe: the C++ runtime then takes its atomic paths. */
HIDDEN char __libc_single_threaded = 0;

/* glibc 2.33 made fstat64 a function of its own; before, it was an inline
 * call of __fxstat64 with the structure's version, which every glibc keeps. */
#if defined(__x86_64__)
#define STAT_VERSION 1
#elif defined(__aarch64__)
#define STAT_VERSION 0
#else
#error "wheel builds target x86_64 and aarch64 only"
#endif
extern int __fxstat64(int version, int fd, struct stat64* buffer);

HIDDEN int fstat64(int fd, struct stat64* buffer) {
    return __fxstat64(STAT_VERSION, fd, buffer);
}

/* glibc 2.25 and 2.36: the random sources of std::random_device, which the
 * module never constructs.  Both read the kernel's getrandom (Linux 3.17);
 * like glibc's arc4random, the one that cannot report failure ends the
 * process. */
HIDDEN int getentropy(void* buffer, size_t length) {
    if (length > 256) {
        errno = EIO;
        return -1;
    }
    unsigned char* next = (unsigned char*)buffer;
    while (length > 0) {
        long got = syscall(SYS_getrandom, next, length, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        next += got;
        length -= (size_t)got;
    }
    return 0;
}

HIDDEN uint32_t arc4random(void) {
    uint32_t value;
    if (getentropy(&value, sizeof value) != 0) {
        abort();
    }
    return value;
}

/* glibc 2.18: registers the destructor of a thread_local object, run when the
 * thread ends.  Where the running glibc has it, it is used, as a build
 * against that glibc would; on older ones a thread-specific key runs this
 * thread's destructors, the newest first, when the thread ends.  The module
 * is never unloaded, so the shared object's handle is not needed. */
typedef void (*destructor_fn)(void*);
typedef int (*register_fn)(destructor_fn, void*, void*);

struct registered_destructor {
    destructor_fn destructor;
    void* object;
    struct registered_destructor* next;
};

static pthread_once_t resolve_once = PTHREAD_ONCE_INIT;
static register_fn glibc_register;
static pthread_key_t destructor_key;
static int destructor_key_made;

static void run_destructors(void* list) {
    struct registered_destructor* entry = (struct registered_destructor*)list;
    while (entry) {
        struct registered_destructor* next = entry->next;
        entry->destructor(entry->object);
        free(entry);
        entry = next;
    }
    /* A destructor that registers another one stores a new list, which
     * pthread runs on its next round. */
}

static void resolve(void) {
    glibc_register = (register_fn)dlsym(RTLD_DEFAULT, "__cxa_thread_atexit_impl");
    if (!glibc_register) {
        destructor_key_made = pthread_key_create(&destructor_key, run_destructors) == 0;
    }
}

HIDDEN int __cxa_thread_atexit_impl(destructor_fn destructor, void* object, void* dso_symbol) {
    pthread_once(&resolve_once, resolve);
    if (glibc_register) {
        return glibc_register(destructor, object, dso_symbol);
    }
    if (!destructor_key_made) {
        return -1;
    }
    struct registered_destructor* entry = (struct registered_destructor*)malloc(sizeof *entry);
    if (!entry) {
        return -1;
    }
    entry->destructor = destructor;
    entry->object = object;
    entry->next = (struct registered_destructor*)pthread_getspecific(destructor_key);
    if (pthread_setspecific(destructor_key, entry) != 0) {
        free(entry);
        return -1;
    }
    return 0;
}

/* glibc 2.38: the C23 integer parsers, which a C++ runtime compiled against
 * glibc 2.38 or later calls for strtol and its kin.  C23 adds one thing to
 * C99's: with base 0 or 2, a "0b" or "0B" prefix introduces binary digits.
 * The C99 functions are named by their symbols here, since these headers
 * may redirect their names to the C23 ones. */
extern unsigned long long c99_strtoull(const char*, char**, int) __asm__("strtoull");
extern long long c99_strtoll(const char*, char**, int) __asm__("strtoll");

/* Where the binary digits start after whitespace, a sign and the prefix, or
 * null if C99's reading applies; *negative tells the sign. */
static const char* binary_digits(const char* text, int base, int* negative) {
    if (base != 0 && base != 2) {
        return NULL;
    }
    while (isspace((unsigned char)*text)) {
        ++text;
    }
    *negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    if (text[0] == '0' && (text[1] == 'b' || text[1] == 'B') && (text[2] == '0' || text[2] == '1')) {
        return text + 2;
    }
    return NULL;
}

/* The magnitude of binary digits, and whether it overflowed. */
static unsigned long long binary_magnitude(const char* digits, char** end, int* overflow) {
    int saved = errno;
    errno = 0;
    unsigned long long magnitude = c99_strtoull(digits, end, 2);
    *overflow = errno == ERANGE;
    errno = saved;
    return magnitude;
}

static unsigned long long unsigned_c23(const char* text, char** end, int base, unsigned long long largest) {
    int negative = 0;
    int overflow = 0;
    const char* digits = binary_digits(text, base, &negative);
    if (!digits) {
        return 0;  /* not reached: callers test binary_digits first */
    }
    unsigned long long magnitude = binary_magnitude(digits, end, &overflow);
    if (overflow || magnitude > largest) {
        errno = ERANGE;
        return largest;
    }
    return negative ? (largest & (0 - magnitude)) : magnitude;
}

static long long signed_c23(const char* text, char** end, int base, long long smallest, long long largest) {
    int negative = 0;
    int overflow = 0;
    const char* digits = binary_digits(text, base, &negative);
    if (!digits) {
        return 0;  /* not reached: callers test binary_digits first */
    }
    unsigned long long magnitude = binary_magnitude(digits, end, &overflow);
    unsigned long long limit = negative ? (unsigned long long)largest + 1 : (unsigned long long)largest;
    if (overflow || magnitude > limit) {
        errno = ERANGE;
        return negative ? smallest : largest;
    }
    if (negative) {
        return magnitude == limit ? smallest : -(long long)magnitude;
    }
    return (long long)magnitude;
}

HIDDEN unsigned long long __isoc23_strtoull(const char* text, char** end, int base) {
    int negative;
    if (!binary_digits(text, base, &negative)) {
        return c99_strtoull(text, end, base);
    }
    return unsigned_c23(text, end, base, ULLONG_MAX);
}

HIDDEN unsigned long __isoc23_strtoul(const char* text, char** end, int base) {
    int negative;
    if (!binary_digits(text, base, &negative)) {
        extern unsigned long c99_strtoul(const char*, char**, int) __asm__("strtoul");
        return c99_strtoul(text, end, base);
    }
    return (unsigned long)unsigned_c23(text, end, base, ULONG_MAX);
}

HIDDEN long long __isoc23_strtoll(const char* text, char** end, int base) {
    int negative;
    if (!binary_digits(text, base, &negative)) {
        return c99_strtoll(text, end, base);
    }
    return signed_c23(text, end, base, LLONG_MIN, LLONG_MAX);
}

HIDDEN long __isoc23_strtol(const char* text, char** end, int base) {
    int negative;
    if (!binary_digits(text, base, &negative)) {
        extern long c99_strtol(const char*, char**, int) __asm__("strtol");
        return c99_strtol(text, end, base);
    }
    return (long)signed_c23(text, end, base, LONG_MIN, LONG_MAX);
}
