#include "engine/thread_queue.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

// One message is one heap block: the text with its NUL first, then the
// node. The receiver takes the block as its text and frees it whole, so a
// message costs one allocation and one copy on each side.
//
// Every message is on two lists: the whole queue in sending order (for
// listing and flushing) and its id's list (for receiving).
struct QueueNode {
    QueueNode *prev;     // whole queue
    QueueNode *next;
    QueueNode *id_next;  // the same id, oldest first
    int64_t target;
    size_t len;
    char *text;  // the start of the block
    // 1 for the queue, plus 1 per listing that shares the text. Raised only
    // under the lock while the node is queued; whoever drops it to 0 frees
    // the block.
    int refs;
};

// The messages of one id. An entry exists while its id has messages; it is
// also where a per-id wake-up (a descriptor that becomes readable when a
// message is queued) would live.
struct QueueId {
    QueueId *hnext;  // same bucket
    int64_t target;
    QueueNode *head;  // oldest
    QueueNode *tail;
    size_t bytes;  // accounted, as in the limits
};

// Where the node sits behind a text of `len` bytes and its NUL.
size_t node_offset(size_t len)
{
    const size_t align = alignof(QueueNode);
    return (len + 1 + align - 1) / align * align;
}

size_t cost_of(size_t len) { return len + kThreadQueueMessageCost; }

// Static initialisation: the queue exists before any engine opens c.thread
// and lives until the process ends (no destructor: workers may still use it
// while the process exits).
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
QueueNode *g_head = nullptr;  // oldest
QueueNode *g_tail = nullptr;  // newest
size_t g_count = 0;
size_t g_bytes = 0;
QueueId **g_buckets = nullptr;  // a power of two of them, or none
size_t g_nbuckets = 0;
size_t g_nids = 0;
uint64_t g_steps = 0;

constexpr size_t kFirstBuckets = 64;

// Watched ids: one eventfd per id, shared by its watchers. Its counter is
// non-zero exactly while the id has messages: the send that starts an id's
// list writes it, whatever empties the list reads it back to zero, both
// under the lock. A reader that gives up its wait (time-out, cancel) so
// loses nothing: the descriptor stays readable until the messages are
// taken. Watchers are few (one per engine that waits), so a plain array.
struct QueueWatch {
    int64_t target;
    int fd;
    int refs;
};
QueueWatch *g_watches = nullptr;
size_t g_nwatches = 0;
size_t g_capwatches = 0;

// Entries of ids whose lists emptied, kept for the next new id: a thread
// that sends and receives in turn would otherwise allocate one per message.
constexpr size_t kMaxSpareIds = 64;
QueueId *g_spare = nullptr;  // chained through hnext
size_t g_nspare = 0;

QueueId *id_new()
{
    QueueId *e = g_spare;
    if (e) {
        g_spare = e->hnext;
        --g_nspare;
        memset(e, 0, sizeof *e);
        return e;
    }
    return static_cast<QueueId *>(calloc(1, sizeof(QueueId)));
}

// Keeps `e` as a spare; false when there are enough (the caller frees it
// after unlocking).
bool id_keep(QueueId *e)
{
    if (g_nspare >= kMaxSpareIds)
        return false;
    e->hnext = g_spare;
    g_spare = e;
    ++g_nspare;
    return true;
}

// Thread ids are addresses: their low bits are mostly zero, so they are
// mixed before they pick a bucket.
size_t bucket_of(int64_t target, size_t nbuckets)
{
    uint64_t x = static_cast<uint64_t>(target);
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return static_cast<size_t>(x) & (nbuckets - 1);
}

// The caller holds the lock (as for everything below).
QueueId *id_find(int64_t target)
{
    if (!g_nbuckets)
        return nullptr;
    QueueId *e = g_buckets[bucket_of(target, g_nbuckets)];
    ++g_steps;
    while (e && e->target != target) {
        e = e->hnext;
        ++g_steps;
    }
    return e;
}

// Doubles the buckets when there are more ids than buckets; keeps the old
// ones when memory runs out (the chains just get longer).
void id_grow()
{
    if (g_nids < g_nbuckets)
        return;
    size_t n = g_nbuckets ? g_nbuckets * 2 : kFirstBuckets;
    auto **b = static_cast<QueueId **>(calloc(n, sizeof(QueueId *)));
    if (!b)
        return;
    for (size_t i = 0; i < g_nbuckets; ++i)
        while (QueueId *e = g_buckets[i]) {
            g_buckets[i] = e->hnext;
            size_t k = bucket_of(e->target, n);
            e->hnext = b[k];
            b[k] = e;
        }
    free(g_buckets);
    g_buckets = b;
    g_nbuckets = n;
}

// Adds `e` (the caller has grown the buckets where it could).
void id_insert(QueueId *e)
{
    size_t k = bucket_of(e->target, g_nbuckets);
    e->hnext = g_buckets[k];
    g_buckets[k] = e;
    ++g_nids;
}

// Takes `e` out of its bucket; the caller frees it after unlocking.
void id_remove(QueueId *e)
{
    QueueId **p = &g_buckets[bucket_of(e->target, g_nbuckets)];
    while (*p != e)
        p = &(*p)->hnext;
    *p = e->hnext;
    --g_nids;
}

void unlink_node(QueueNode *n)
{
    if (n->prev)
        n->prev->next = n->next;
    else
        g_head = n->next;
    if (n->next)
        n->next->prev = n->prev;
    else
        g_tail = n->prev;
    --g_count;
    g_bytes -= cost_of(n->len);
}

// Takes every message of `e` off the whole queue; they stay chained
// through id_next.
void unlink_id(QueueId *e)
{
    for (QueueNode *n = e->head; n; n = n->id_next) {
        unlink_node(n);
        ++g_steps;
    }
    id_remove(e);
}

// Drops one reference outside the lock; the last one frees the block.
void node_unref(QueueNode *n)
{
    if (__atomic_sub_fetch(&n->refs, 1, __ATOMIC_ACQ_REL) == 0)
        free(n->text);
}

// Releases unlinked nodes chained through `id_next`.
void free_id_chain(QueueNode *n)
{
    while (n) {
        QueueNode *next = n->id_next;
        node_unref(n);
        n = next;
    }
}

// read, write and close are cancellation points: kept off for them, so that
// no caller can be cancelled holding the lock (or leave a descriptor).
int no_cancel()
{
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    return old;
}

void restore_cancel(int old) { pthread_setcancelstate(old, nullptr); }

QueueWatch *watch_of(int64_t target)
{
    for (size_t i = 0; i < g_nwatches; ++i)
        if (g_watches[i].target == target)
            return &g_watches[i];
    return nullptr;
}

// The id's list has just started (signal) or emptied (clear).
void watch_signal(int64_t target)
{
    if (!g_nwatches)
        return;
    if (QueueWatch *w = watch_of(target)) {
        uint64_t one = 1;
        int old = no_cancel();
        // Cannot fail: the counter is 0 here (cleared when the list emptied).
        ssize_t n = write(w->fd, &one, sizeof one);
        (void)n;
        restore_cancel(old);
    }
}

void watch_clear_fd(int fd)
{
    uint64_t v;
    int old = no_cancel();
    ssize_t n = read(fd, &v, sizeof v);  // non-blocking: EAGAIN when already 0
    (void)n;
    restore_cancel(old);
}

void watch_clear(int64_t target)
{
    if (!g_nwatches)
        return;
    if (QueueWatch *w = watch_of(target))
        watch_clear_fd(w->fd);
}

}  // namespace

int thread_queue_send(int64_t target, const char *text, size_t len)
{
    // A text that could never fit is refused before it is copied.
    if (len > kThreadQueueIdBytes - kThreadQueueMessageCost)
        return kThreadQueueFull;
    size_t cost = cost_of(len);
    size_t off = node_offset(len);
    char *block = static_cast<char *>(malloc(off + sizeof(QueueNode)));
    if (!block)
        return kThreadQueueNoMemory;
    memcpy(block, text, len);
    block[len] = '\0';
    QueueNode *n = reinterpret_cast<QueueNode *>(block + off);
    n->next = nullptr;
    n->id_next = nullptr;
    n->target = target;
    n->len = len;
    n->text = block;
    n->refs = 1;

    int rc = 0;
    pthread_mutex_lock(&g_lock);
    QueueId *e = id_find(target);
    size_t id_bytes = e ? e->bytes : 0;
    if (cost > kThreadQueueTotalBytes - g_bytes || cost > kThreadQueueIdBytes - id_bytes) {
        rc = kThreadQueueFull;
    } else if (!e) {
        id_grow();
        e = g_nbuckets ? id_new() : nullptr;
        if (e) {
            e->target = target;
            id_insert(e);
        } else {
            rc = kThreadQueueNoMemory;
        }
    }
    if (rc == 0) {
        if (e->tail) {
            e->tail->id_next = n;
        } else {
            e->head = n;
            watch_signal(target);
        }
        e->tail = n;
        e->bytes += cost;
        n->prev = g_tail;
        if (g_tail)
            g_tail->next = n;
        else
            g_head = n;
        g_tail = n;
        ++g_count;
        g_bytes += cost;
    }
    pthread_mutex_unlock(&g_lock);
    if (rc != 0)
        free(block);
    return rc;
}

char *thread_queue_recv(int64_t target, size_t *len)
{
    char *out = nullptr;
    QueueNode *shared = nullptr;  // taken from the queue while a listing shares it
    QueueId *emptied = nullptr;
    pthread_mutex_lock(&g_lock);
    QueueId *e = id_find(target);
    QueueNode *n = e ? e->head : nullptr;
    if (n) {
        *len = n->len;
        if (__atomic_load_n(&n->refs, __ATOMIC_ACQUIRE) == 1) {
            out = n->text;
        } else {
            // A listing reads the block: the receiver gets a copy of its own.
            out = static_cast<char *>(malloc(n->len + 1));
            if (out) {
                memcpy(out, n->text, n->len + 1);
                shared = n;
            }
        }
    }
    if (out) {
        e->head = n->id_next;
        e->bytes -= cost_of(n->len);
        if (!e->head) {
            e->tail = nullptr;
            watch_clear(target);
            id_remove(e);
            if (!id_keep(e))
                emptied = e;
        }
        unlink_node(n);
    }
    pthread_mutex_unlock(&g_lock);
    free(emptied);
    if (shared)
        node_unref(shared);
    return out;
}

size_t thread_queue_drop(int64_t target)
{
    QueueNode *dropped = nullptr;
    size_t count = 0;
    pthread_mutex_lock(&g_lock);
    QueueId *e = id_find(target);
    if (e) {
        watch_clear(target);
        size_t before = g_count;
        unlink_id(e);
        count = before - g_count;
        dropped = e->head;
        if (id_keep(e))
            e = nullptr;
    }
    pthread_mutex_unlock(&g_lock);
    // Released outside the lock: freeing large texts must not hold up senders.
    free_id_chain(dropped);
    free(e);
    return count;
}

void thread_queue_flush()
{
    pthread_mutex_lock(&g_lock);
    QueueNode *n = g_head;
    QueueId **buckets = g_buckets;
    size_t nbuckets = g_nbuckets;
    g_head = nullptr;
    g_tail = nullptr;
    g_count = 0;
    g_bytes = 0;
    g_buckets = nullptr;
    g_nbuckets = 0;
    g_nids = 0;
    for (size_t i = 0; i < g_nwatches; ++i)
        watch_clear_fd(g_watches[i].fd);
    pthread_mutex_unlock(&g_lock);
    while (n) {
        QueueNode *next = n->next;
        node_unref(n);
        n = next;
    }
    for (size_t i = 0; i < nbuckets; ++i)
        while (QueueId *e = buckets[i]) {
            buckets[i] = e->hnext;
            free(e);
        }
    free(buckets);
}

ThreadQueueSnapshot *thread_queue_snapshot()
{
    pthread_mutex_lock(&g_lock);
    size_t count = g_count;
    char *block = static_cast<char *>(malloc(sizeof(ThreadQueueSnapshot) + count * sizeof(ThreadQueueItem)));
    auto *snap = reinterpret_cast<ThreadQueueSnapshot *>(block);
    if (snap) {
        snap->count = count;
        snap->items = reinterpret_cast<ThreadQueueItem *>(block + sizeof(ThreadQueueSnapshot));
        size_t i = 0;
        for (QueueNode *n = g_head; n; n = n->next, ++i) {
            __atomic_add_fetch(&n->refs, 1, __ATOMIC_RELAXED);
            snap->items[i] = ThreadQueueItem{n->target, n->len, n->text, n};
        }
    }
    pthread_mutex_unlock(&g_lock);
    return snap;
}

void thread_queue_snapshot_free(ThreadQueueSnapshot *snap)
{
    if (!snap)
        return;
    for (size_t i = 0; i < snap->count; ++i)
        node_unref(static_cast<QueueNode *>(snap->items[i].pin));
    free(snap);
}

void thread_queue_usage(size_t *count, size_t *bytes)
{
    pthread_mutex_lock(&g_lock);
    *count = g_count;
    *bytes = g_bytes;
    pthread_mutex_unlock(&g_lock);
}

uint64_t thread_queue_steps()
{
    pthread_mutex_lock(&g_lock);
    uint64_t steps = g_steps;
    pthread_mutex_unlock(&g_lock);
    return steps;
}

int thread_queue_watch(int64_t target)
{
    // Made before locking; dropped again when the id already has one.
    int fresh = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fresh < 0)
        return -1;
    int fd = -1;
    pthread_mutex_lock(&g_lock);
    if (QueueWatch *w = watch_of(target)) {
        ++w->refs;
        fd = w->fd;
    } else {
        if (g_nwatches == g_capwatches) {
            size_t cap = g_capwatches ? g_capwatches * 2 : 8;
            auto *grown = static_cast<QueueWatch *>(realloc(g_watches, cap * sizeof(QueueWatch)));
            if (grown) {
                g_watches = grown;
                g_capwatches = cap;
            }
        }
        if (g_nwatches < g_capwatches) {
            g_watches[g_nwatches++] = QueueWatch{target, fresh, 1};
            fd = fresh;
            fresh = -1;
            QueueId *e = id_find(target);
            if (e && e->head)
                watch_signal(target);
        }
    }
    pthread_mutex_unlock(&g_lock);
    if (fresh >= 0) {
        int old = no_cancel();
        close(fresh);
        restore_cancel(old);
    }
    return fd;
}

void thread_queue_unwatch(int fd)
{
    int closing = -1;
    pthread_mutex_lock(&g_lock);
    for (size_t i = 0; i < g_nwatches; ++i) {
        if (g_watches[i].fd != fd)
            continue;
        if (--g_watches[i].refs == 0) {
            closing = fd;
            g_watches[i] = g_watches[--g_nwatches];
        }
        break;
    }
    pthread_mutex_unlock(&g_lock);
    // Closed once no sender can write to it any more.
    if (closing >= 0) {
        int old = no_cancel();
        close(closing);
        restore_cancel(old);
    }
}
