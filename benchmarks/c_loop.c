/* The speed limit for the benchmark: the same C runtime calls in the same
 * order as the module's formulas, in a plain loop over contiguous doubles.
 * Built only for benchmarking; never part of the shipped module. */
#include <math.h>
#include <stdint.h>
#include <time.h>

static double now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

static void harmonic(const double* t, double* out, int64_t n, const double* p, uint64_t unused) {
    (void)unused;
    for (int64_t i = 0; i < n; ++i) {
        double e = exp(t[i] * p[1]);
        e = e * p[0];
        double c = cos((t[i] + p[3]) * p[2]);
        out[i] = c * e + p[4];
    }
}

static void pseudo_square(const double* t, double* out, int64_t n, const double* p, uint64_t unused) {
    (void)unused;
    for (int64_t i = 0; i < n; ++i) {
        double e = exp(t[i] * p[1]);
        e = e * p[0];
        double x = (t[i] + p[3]) * p[2];
        double s1 = sin(x);
        double s3 = sin(x * 3.0);
        out[i] = (s3 * 0.5 + s1) * e + p[4];
    }
}

static void fourier_square(const double* t, double* out, int64_t n, const double* p, uint64_t harmonics) {
    for (int64_t i = 0; i < n; ++i) {
        double e = exp(t[i] * p[1]);
        e = e * p[0];
        double u = t[i] + p[3];
        double s = 0.0;
        uint64_t k = 1;
        for (uint64_t j = 0; j < harmonics; ++j, k += 2) {
            double kd = (double)k;
            double term = sin((kd * p[2]) * u);
            term = term * 1.2732395447351628;
            term = term / kd;
            s = s + term;
        }
        out[i] = e * (s + 1.0) + p[4];
    }
}

static void pseudo_cycloid(const double* t, double* out, int64_t n, const double* p, uint64_t unused) {
    (void)unused;
    for (int64_t i = 0; i < n; ++i) {
        double e = exp(t[i] * p[1]);
        e = e * p[0];
        double u = t[i] + p[3];
        double c2 = cos((p[2] + p[2]) * u);
        double c1 = cos(u * p[2]);
        out[i] = (c2 - (c1 + c1)) * e + p[4];
    }
}

static void transient(const double* t, double* out, int64_t n, const double* p, uint64_t unused) {
    (void)unused;
    double onset = (p[1] / 24.0) * 6.283185307179586;
    for (int64_t i = 0; i < n; ++i) {
        double d = fmod(t[i], 6.283185307179586) - onset;
        double h = 0.0;
        if (d >= 0.0) {
            double q = d / p[2];
            q = q * q;
            q = q * -0.5;
            h = exp(q);
        }
        out[i] = h * p[0] + p[3];
    }
}

typedef void (*loop_fn)(const double*, double*, int64_t, const double*, uint64_t);
static const loop_fn loops[] = {harmonic, pseudo_square, fourier_square, pseudo_cycloid, transient};

/* Runs loop `which` `repeats` times and stores each run's nanoseconds. */
void run_loop(int which, const double* t, double* out, int64_t n, const double* params, uint64_t harmonics,
              int repeats, double* times_ns) {
    for (int r = 0; r < repeats; ++r) {
        double start = now_ns();
        loops[which](t, out, n, params, harmonics);
        times_ns[r] = now_ns() - start;
    }
}
