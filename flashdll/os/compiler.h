// Compiler-specific annotations, kept here so that the rest of the code stays
// free of compiler and platform conditionals.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define FLASHDLL_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#else
#define FLASHDLL_PRINTF(fmtIndex, firstArg)
#endif
