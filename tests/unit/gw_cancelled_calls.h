// Calls into the gateway library from a thread that has a cancel pending
// (the tests of both backends of libcsecapi.so): the calls must run to their
// end, and the cancel act after them, outside the library.
#pragma once

#include <pthread.h>

#include "gateway/csecapi.h"

struct CancelledCalls {
    const CsSgw_IPSetsList_t *add;  // handed to csSgw_addIPSets
    int added = -1;
    int got = -1;
    int released = -1;
    bool went_on = false;  // the thread ran past the cancellation point after the calls
    bool cancelled = false;
};

inline void *cancelled_calls_body(void *p)
{
    auto *c = static_cast<CancelledCalls *>(p);
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    pthread_cancel(pthread_self());
    c->added = csSgw_addIPSets(c->add);
    CsSgw_IPSetsList_t *all = nullptr;
    c->got = csSgw_getIPSetsAllInfo(&all);
    c->released = csSgw_releaseIPSetsAllInfo(all);
    pthread_testcancel();
    c->went_on = true;
    return nullptr;
}

// Runs the calls on a thread of their own and waits for its end.
inline void cancelled_calls_run(CancelledCalls *c)
{
    pthread_t t;
    if (pthread_create(&t, nullptr, cancelled_calls_body, c) != 0)
        return;
    void *ret = nullptr;
    pthread_join(t, &ret);
    c->cancelled = ret == PTHREAD_CANCELED;
}
