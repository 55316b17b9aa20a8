// Where a worker thread may be cancelled. A worker runs with cancellation
// off: a cancel that landed inside the C library or the interpreter (in the
// middle of fopen, of a gateway call, of a module holding a descriptor)
// would leave that descriptor, lock or memory behind. It is on only inside
// the waits below, around a blocking call that holds nothing a clean-up
// handler does not release; everywhere else a cancel is noticed by the
// worker's hook (engine/worker_cancel.h) once the scripts run again.
#pragma once

// Makes the waits of the calling thread cancellable (a worker while its
// scripts work) or not (every other thread, and a worker once it ends).
void cancel_waits_allow(bool allow);

// Opens a cancellable wait: turns cancellation on when the calling thread
// allows it. Returns what cancel_wait_end needs; pair them on every path.
int cancel_wait_begin();
void cancel_wait_end(int token);

// Whether the calling thread's waits are cancellable.
bool cancel_waits_allowed();
