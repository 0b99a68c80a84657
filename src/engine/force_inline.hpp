// VEXLOR_INLINE: inlined whatever the compiler's size heuristics say, for the
// few hot functions a call would measurably slow.
#pragma once

#if defined(__GNUC__)
#define VEXLOR_INLINE inline __attribute__((always_inline))
#else
#define VEXLOR_INLINE inline
#endif
