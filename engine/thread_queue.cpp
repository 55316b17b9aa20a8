#include "engine/thread_queue.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>

namespace {

// One message is one heap block: the text with its NUL first, then the
// list links. The receiver takes the block as its text and frees it whole,
// so a message costs one allocation and one copy on each side.
struct QueueNode {
    QueueNode *prev;
    QueueNode *next;
    int64_t target;
    size_t len;
    char *text;  // the start of the block
};

// Where the node sits behind a text of `len` bytes and its NUL.
size_t node_offset(size_t len)
{
    const size_t align = alignof(QueueNode);
    return (len + 1 + align - 1) / align * align;
}

// Static initialisation: the queue exists before any engine opens c.thread
// and lives until the process ends (no destructor: workers may still use it
// while the process exits).
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
QueueNode *g_head = nullptr;  // oldest
QueueNode *g_tail = nullptr;  // newest

// Unlinks `n`; the caller holds the lock.
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
}

// Releases a chain of unlinked nodes (linked through `next`).
void free_chain(QueueNode *n)
{
    while (n) {
        QueueNode *next = n->next;
        free(n->text);
        n = next;
    }
}

}  // namespace

int thread_queue_send(int64_t target, const char *text, size_t len)
{
    if (len > SIZE_MAX - sizeof(QueueNode) - 2 * alignof(QueueNode))
        return -1;
    size_t off = node_offset(len);
    char *block = static_cast<char *>(malloc(off + sizeof(QueueNode)));
    if (!block)
        return -1;
    memcpy(block, text, len);
    block[len] = '\0';
    QueueNode *n = reinterpret_cast<QueueNode *>(block + off);
    n->next = nullptr;
    n->target = target;
    n->len = len;
    n->text = block;

    pthread_mutex_lock(&g_lock);
    n->prev = g_tail;
    if (g_tail)
        g_tail->next = n;
    else
        g_head = n;
    g_tail = n;
    pthread_mutex_unlock(&g_lock);
    return 0;
}

char *thread_queue_recv(int64_t target, size_t *len)
{
    pthread_mutex_lock(&g_lock);
    QueueNode *n = g_head;
    while (n && n->target != target)
        n = n->next;
    if (n)
        unlink_node(n);
    pthread_mutex_unlock(&g_lock);
    if (!n)
        return nullptr;
    *len = n->len;
    return n->text;
}

size_t thread_queue_drop(int64_t target)
{
    QueueNode *dropped = nullptr;  // singly linked through `next`
    size_t count = 0;
    pthread_mutex_lock(&g_lock);
    for (QueueNode *n = g_head; n;) {
        QueueNode *next = n->next;
        if (n->target == target) {
            unlink_node(n);
            n->next = dropped;
            dropped = n;
            ++count;
        }
        n = next;
    }
    pthread_mutex_unlock(&g_lock);
    // Released outside the lock: freeing large texts must not hold up senders.
    free_chain(dropped);
    return count;
}

void thread_queue_flush()
{
    pthread_mutex_lock(&g_lock);
    QueueNode *n = g_head;
    g_head = nullptr;
    g_tail = nullptr;
    pthread_mutex_unlock(&g_lock);
    free_chain(n);
}

ThreadQueueSnapshot *thread_queue_snapshot()
{
    pthread_mutex_lock(&g_lock);
    size_t count = 0;
    size_t bytes = 0;
    bool fits = true;
    for (QueueNode *n = g_head; n; n = n->next) {
        ++count;
        if (n->len + 1 > SIZE_MAX - bytes)
            fits = false;
        else
            bytes += n->len + 1;
    }
    size_t head = sizeof(ThreadQueueSnapshot) + count * sizeof(ThreadQueueItem);
    char *block = nullptr;
    if (fits && bytes <= SIZE_MAX - head)
        block = static_cast<char *>(malloc(head + bytes));
    if (block) {
        auto *snap = reinterpret_cast<ThreadQueueSnapshot *>(block);
        snap->count = count;
        snap->items = reinterpret_cast<ThreadQueueItem *>(block + sizeof(ThreadQueueSnapshot));
        char *text = block + head;
        size_t i = 0;
        for (QueueNode *n = g_head; n; n = n->next, ++i) {
            memcpy(text, n->text, n->len + 1);
            snap->items[i] = ThreadQueueItem{n->target, n->len, text};
            text += n->len + 1;
        }
    }
    pthread_mutex_unlock(&g_lock);
    return reinterpret_cast<ThreadQueueSnapshot *>(block);
}
