// What the C library offers beyond POSIX, asked in one way wherever the
// suite asks it: each call that only some libraries have is made here, with
// the POSIX path beside it, so that the modules that use them carry no
// conditionals of their own. Inline, since some are asked once a byte.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>

// The stream's error indicator, asked without taking the stream's lock
// again where the library can; the caller holds the lock.
inline bool streamFailedUnlocked(FILE *stream) {
#if SUITE_HAVE_FERROR_UNLOCKED
    return ferror_unlocked(stream) != 0;
#else
    return ferror(stream) != 0;
#endif
}

// Whether the stream holds input that a read of its descriptor would skip:
// bytes read ahead into its buffer, or pushed back. The C library's own
// inline reading compares these two pointers; a stream that has ever had a
// byte pushed back keeps its save area and is taken as holding one. Where
// the stream cannot be asked, every stream is taken as holding input.
inline bool streamHoldsInput(FILE *stream) {
#if defined(__GLIBC__)
    return stream->_IO_read_ptr != stream->_IO_read_end || stream->_IO_save_base != nullptr;
#else
    (void)stream;
    return true;
#endif
}

// The program's name as it was invoked, without its folder, as the C
// library's own assertions name it; "" where the library keeps none.
inline const char *invocationShortName() {
#if SUITE_HAVE_PROGRAM_INVOCATION_SHORT_NAME
    return program_invocation_short_name;
#elif SUITE_HAVE_GETPROGNAME
    return getprogname();
#else
    return "";
#endif
}
