#include "control/cancel_cleanup.h"

#if defined(__SANITIZE_ADDRESS__)

#include <pthread.h>
#include <sanitizer/asan_interface.h>

#include <cstddef>

namespace {

// Kept off the stack: the memory being cleared must not hold the values
// used to clear it.
thread_local pthread_attr_t t_attr;
thread_local void *t_low;
thread_local size_t t_size;

}  // namespace

__attribute__((noinline, no_sanitize_address)) void cancel_cleanup_enter()
{
    if (pthread_getattr_np(pthread_self(), &t_attr) != 0)
        return;
    pthread_attr_getstack(&t_attr, &t_low, &t_size);
    pthread_attr_destroy(&t_attr);
    char *low = static_cast<char *>(t_low);
    char *here = static_cast<char *>(__builtin_frame_address(0));
    if (here > low)
        __asan_unpoison_memory_region(low, static_cast<size_t>(here - low));
}

#else

void cancel_cleanup_enter() {}

#endif
