// For clean-up handlers (pthread_cleanup_push) that may run because their
// thread was cancelled.
#pragma once

// Called first by every such handler. In AddressSanitizer builds it clears
// the stack below the caller: a cancellation leaves the frames it unwound
// without running their epilogues, so their guard zones still mark that
// memory as poisoned, and the handler's own calls would be reported for
// touching it. Does nothing in other builds.
void cancel_cleanup_enter();
