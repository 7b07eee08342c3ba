#pragma once
// The kernels are built for AVX2 and for the baseline; the loader picks the widest the machine
// has, since the engine's speed is that of these loops. Not under ThreadSanitizer: the loader
// runs the picking code before the sanitizer's runtime is ready, and it crashes.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define OXSIM_WIDE_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define OXSIM_WIDE_CLONES
#endif
