#include "control/cancel_wait.h"

#include <pthread.h>

namespace {

thread_local bool t_allowed = false;

constexpr int kUntouched = -1;

}  // namespace

void cancel_waits_allow(bool allow) { t_allowed = allow; }

int cancel_wait_begin()
{
    if (!t_allowed)
        return kUntouched;
    int old = PTHREAD_CANCEL_DISABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old);
    return old;
}

void cancel_wait_end(int token)
{
    if (token == kUntouched)
        return;
    int ignored;
    pthread_setcancelstate(token, &ignored);
}

bool cancel_waits_allowed() { return t_allowed; }
