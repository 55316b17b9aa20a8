// The process-wide thread message queue.
#include "engine/thread_queue.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Receives one message for `target` as a string; "<none>" when there is none.
std::string recv_text(int64_t target)
{
    size_t len = 0;
    char *text = thread_queue_recv(target, &len);
    if (!text)
        return "<none>";
    EXPECT_EQ(text[len], '\0') << "texts are NUL-terminated";
    std::string s(text, len);
    free(text);
    return s;
}

void send_text(int64_t target, const std::string &s)
{
    ASSERT_EQ(thread_queue_send(target, s.data(), s.size()), 0);
}

struct Listed {
    int64_t target;
    std::string text;
};

std::vector<Listed> listing()
{
    ThreadQueueSnapshot *snap = thread_queue_snapshot();
    EXPECT_NE(snap, nullptr);
    std::vector<Listed> out;
    for (size_t i = 0; snap && i < snap->count; ++i)
        out.push_back({snap->items[i].target, std::string(snap->items[i].text, snap->items[i].len)});
    thread_queue_snapshot_free(snap);
    return out;
}

class ThreadQueue : public ::testing::Test {
protected:
    void SetUp() override { thread_queue_flush(); }
    void TearDown() override { thread_queue_flush(); }
};

TEST_F(ThreadQueue, receives_the_oldest_message_for_the_id_and_skips_others)
{
    send_text(1, "a");
    send_text(2, "c");
    send_text(1, "b");
    EXPECT_EQ(recv_text(1), "a");
    EXPECT_EQ(recv_text(1), "b");
    EXPECT_EQ(recv_text(1), "<none>");
    auto left = listing();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].target, 2);
    EXPECT_EQ(left[0].text, "c");
    EXPECT_EQ(recv_text(2), "c");
    EXPECT_TRUE(listing().empty());
}

TEST_F(ThreadQueue, removal_from_the_middle_and_the_ends_keeps_the_order)
{
    for (int i = 0; i < 6; ++i)
        send_text(i % 3, std::to_string(i));  // targets 0 1 2 0 1 2
    EXPECT_EQ(recv_text(1), "1");              // from the middle
    EXPECT_EQ(recv_text(0), "0");              // the head
    EXPECT_EQ(recv_text(2), "2");
    EXPECT_EQ(recv_text(2), "5");              // the tail
    send_text(2, "6");                         // appended after the new tail
    std::vector<std::string> texts;
    for (auto &l : listing())
        texts.push_back(l.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"3", "4", "6"}));
}

TEST_F(ThreadQueue, keeps_every_byte_including_nuls)
{
    std::string binary;
    for (int i = 0; i < 256; ++i)
        binary.push_back(static_cast<char>(i));
    binary += std::string("\0\0x\0", 4);
    send_text(7, binary);
    send_text(7, "");
    auto l = listing();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].text, binary);
    EXPECT_EQ(l[1].text, "");
    EXPECT_EQ(recv_text(7), binary);
    EXPECT_EQ(recv_text(7), "");
}

TEST_F(ThreadQueue, holds_the_largest_text_an_id_may_have_queued)
{
    std::string big(kThreadQueueIdBytes - kThreadQueueMessageCost, 'x');
    big[5] = '\0';
    send_text(-1, big);
    EXPECT_EQ(recv_text(-1), big);
    big.push_back('y');
    EXPECT_EQ(thread_queue_send(-1, big.data(), big.size()), kThreadQueueFull) << "one byte more";
    EXPECT_EQ(recv_text(-1), "<none>");
}

TEST_F(ThreadQueue, snapshot_lists_oldest_first_and_changes_nothing)
{
    send_text(3, "one");
    send_text(1, "two");
    send_text(3, "three");
    for (int round = 0; round < 2; ++round) {
        auto l = listing();
        ASSERT_EQ(l.size(), 3u);
        EXPECT_EQ(l[0].target, 3);
        EXPECT_EQ(l[0].text, "one");
        EXPECT_EQ(l[1].target, 1);
        EXPECT_EQ(l[1].text, "two");
        EXPECT_EQ(l[2].text, "three");
    }
}

TEST_F(ThreadQueue, empty_queue_gives_an_empty_snapshot_and_nothing_to_receive)
{
    ThreadQueueSnapshot *snap = thread_queue_snapshot();
    ASSERT_NE(snap, nullptr);
    EXPECT_EQ(snap->count, 0u);
    thread_queue_snapshot_free(snap);
    EXPECT_EQ(recv_text(0), "<none>");
}

TEST_F(ThreadQueue, flush_releases_everything)
{
    for (int i = 0; i < 100; ++i)
        send_text(i, "m");
    thread_queue_flush();
    EXPECT_TRUE(listing().empty());
    thread_queue_flush();  // flushing an empty queue is harmless
    send_text(1, "after");
    EXPECT_EQ(recv_text(1), "after");
}

TEST_F(ThreadQueue, drop_removes_only_the_messages_of_one_id)
{
    send_text(1, "a");
    send_text(2, "b");
    send_text(1, "c");
    send_text(3, "d");
    send_text(1, "e");
    EXPECT_EQ(thread_queue_drop(1), 3u);
    auto l = listing();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].text, "b");
    EXPECT_EQ(l[1].text, "d");
    EXPECT_EQ(thread_queue_drop(1), 0u);
    send_text(1, "later");
    EXPECT_EQ(recv_text(1), "later");
}

TEST_F(ThreadQueue, an_id_is_refused_past_its_share_and_others_still_send)
{
    const std::string text(1000, 'm');
    const size_t cost = text.size() + kThreadQueueMessageCost;
    const size_t fits = kThreadQueueIdBytes / cost;
    for (size_t i = 0; i < fits; ++i)
        ASSERT_EQ(thread_queue_send(5, text.data(), text.size()), 0) << i;
    EXPECT_EQ(thread_queue_send(5, text.data(), text.size()), kThreadQueueFull);
    size_t count, bytes;
    thread_queue_usage(&count, &bytes);
    EXPECT_EQ(count, fits);
    EXPECT_EQ(bytes, fits * cost);
    send_text(6, text);
    // Receiving one makes room for one.
    EXPECT_EQ(recv_text(5), text);
    EXPECT_EQ(thread_queue_send(5, text.data(), text.size()), 0);
    EXPECT_EQ(thread_queue_send(5, text.data(), text.size()), kThreadQueueFull);
}

TEST_F(ThreadQueue, the_whole_queue_is_refused_past_its_total_and_frees_room_as_it_drains)
{
    const std::string text(kThreadQueueIdBytes / 4 - kThreadQueueMessageCost, 't');
    const size_t per_total = kThreadQueueTotalBytes / (text.size() + kThreadQueueMessageCost);
    ASSERT_GT(per_total, 4u) << "the total holds more than one id's share";
    for (size_t i = 0; i < per_total; ++i)
        ASSERT_EQ(thread_queue_send(static_cast<int64_t>(i / 2), text.data(), text.size()), 0) << i;
    EXPECT_EQ(thread_queue_send(1000, text.data(), text.size()), kThreadQueueFull) << "a new id";
    EXPECT_EQ(thread_queue_send(1000, "", 0), kThreadQueueFull) << "even an empty text costs";
    thread_queue_drop(0);
    EXPECT_EQ(thread_queue_send(1000, text.data(), text.size()), 0);
    thread_queue_flush();
    size_t count, bytes;
    thread_queue_usage(&count, &bytes);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(thread_queue_send(1000, text.data(), text.size()), 0) << "flushing frees it all";
}

TEST_F(ThreadQueue, receiving_for_one_id_does_the_same_work_whatever_other_ids_hold)
{
    // The work of a receive for an id with nothing queued, and of a send
    // and a receive for it, on an empty queue ...
    auto round = [] {
        uint64_t before = thread_queue_steps();
        size_t len;
        EXPECT_EQ(thread_queue_recv(42, &len), nullptr);
        thread_queue_send(42, "x", 1);
        free(thread_queue_recv(42, &len));
        return thread_queue_steps() - before;
    };
    uint64_t alone = round();
    // ... and with 100,000 messages queued for another id, and some for
    // 500 further ids.
    for (int i = 0; i < 100000; ++i)
        ASSERT_EQ(thread_queue_send(7, "b", 1), 0);
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(thread_queue_send(1000 + i, "c", 1), 0);
    uint64_t crowded = round();
    EXPECT_LE(crowded, alone + 6) << "at most a few more entries in a hash chain";
}

TEST_F(ThreadQueue, a_listing_keeps_its_texts_while_they_are_received_and_flushed)
{
    send_text(1, "first");
    send_text(2, std::string(5000, 's'));
    send_text(1, "third");
    ThreadQueueSnapshot *snap = thread_queue_snapshot();
    ASSERT_NE(snap, nullptr);
    ASSERT_EQ(snap->count, 3u);
    EXPECT_EQ(recv_text(1), "first") << "the receiver gets its own copy";
    thread_queue_flush();
    send_text(1, "later");
    EXPECT_EQ(std::string(snap->items[0].text, snap->items[0].len), "first");
    EXPECT_EQ(std::string(snap->items[1].text, snap->items[1].len), std::string(5000, 's'));
    EXPECT_EQ(std::string(snap->items[2].text), "third");
    thread_queue_snapshot_free(snap);  // the last holder frees (the sanitizer build checks)
    EXPECT_EQ(recv_text(1), "later");
}

// Several threads send to their own ids and receive back, while others do
// the same: every message arrives exactly once, in order per id.
struct Traffic {
    int64_t id;
    int count;
    int received;
    bool in_order;
};

// Receives everything queued for the thread's id, checking the order.
void drain(Traffic *t, int *expected)
{
    size_t len;
    while (char *text = thread_queue_recv(t->id, &len)) {
        std::string want = std::to_string(t->id) + ":" + std::to_string((*expected)++);
        if (want != std::string(text, len))
            t->in_order = false;
        free(text);
        ++t->received;
    }
}

void *traffic(void *p)
{
    Traffic *t = static_cast<Traffic *>(p);
    t->received = 0;
    t->in_order = true;
    int expected = 0;
    for (int i = 0; i < t->count; ++i) {
        std::string s = std::to_string(t->id) + ":" + std::to_string(i);
        thread_queue_send(t->id, s.data(), s.size());
        // Receive in bursts, so that the queue holds several at a time.
        if (i % 3 == 2)
            drain(t, &expected);
        if (i % 50 == 0)
            thread_queue_snapshot_free(thread_queue_snapshot());
    }
    drain(t, &expected);
    return nullptr;
}

TEST_F(ThreadQueue, concurrent_senders_and_receivers_lose_and_mix_nothing)
{
    constexpr int kThreads = 8;
    pthread_t th[kThreads];
    Traffic t[kThreads];
    for (int i = 0; i < kThreads; ++i) {
        t[i] = Traffic{100 + i, 3000, 0, true};
        ASSERT_EQ(pthread_create(&th[i], nullptr, traffic, &t[i]), 0);
    }
    for (int i = 0; i < kThreads; ++i) {
        pthread_join(th[i], nullptr);
        EXPECT_EQ(t[i].received, 3000) << "thread " << i;
        EXPECT_TRUE(t[i].in_order) << "thread " << i;
    }
    EXPECT_TRUE(listing().empty());
}

// ------------------------------------------------------------ watches

bool readable(int fd, int ms = 0)
{
    struct pollfd pfd = {fd, POLLIN, 0};
    return poll(&pfd, 1, ms) == 1 && (pfd.revents & POLLIN);
}

TEST_F(ThreadQueue, a_watch_is_readable_exactly_while_its_id_has_messages)
{
    int fd = thread_queue_watch(7);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(readable(fd)) << "nothing queued";
    send_text(8, "other id");
    EXPECT_FALSE(readable(fd)) << "a message for another id";
    send_text(7, "one");
    send_text(7, "two");
    EXPECT_TRUE(readable(fd));
    EXPECT_EQ(recv_text(7), "one");
    EXPECT_TRUE(readable(fd)) << "one left";
    EXPECT_EQ(recv_text(7), "two");
    EXPECT_FALSE(readable(fd)) << "all taken";
    send_text(7, "three");
    EXPECT_TRUE(readable(fd)) << "again after emptying";
    EXPECT_EQ(thread_queue_drop(7), 1u);
    EXPECT_FALSE(readable(fd)) << "dropped";
    send_text(7, "four");
    thread_queue_flush();
    EXPECT_FALSE(readable(fd)) << "flushed";
    EXPECT_EQ(recv_text(8), "<none>");
    thread_queue_unwatch(fd);
}

TEST_F(ThreadQueue, a_watch_made_after_the_messages_is_readable_at_once)
{
    send_text(9, "early");
    int fd = thread_queue_watch(9);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(readable(fd));
    EXPECT_EQ(recv_text(9), "early");
    EXPECT_FALSE(readable(fd));
    thread_queue_unwatch(fd);
}

TEST_F(ThreadQueue, watchers_of_one_id_share_a_descriptor_closed_with_the_last)
{
    int a = thread_queue_watch(11);
    int b = thread_queue_watch(11);
    int c = thread_queue_watch(12);
    ASSERT_GE(a, 0);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    thread_queue_unwatch(a);
    send_text(11, "x");
    EXPECT_TRUE(readable(b)) << "still watched";
    thread_queue_unwatch(b);
    EXPECT_EQ(fcntl(a, F_GETFD), -1) << "closed with the last watcher";
    EXPECT_EQ(recv_text(11), "x") << "the message is still there";
    thread_queue_unwatch(c);
    thread_queue_unwatch(-1);  // names no watch: nothing happens
    thread_queue_unwatch(c);
}

TEST_F(ThreadQueue, many_watched_ids_each_wake_only_for_their_own)
{
    constexpr int kIds = 300;
    std::vector<int> fds;
    for (int i = 0; i < kIds; ++i) {
        fds.push_back(thread_queue_watch(1000 + i));
        ASSERT_GE(fds.back(), 0);
    }
    send_text(1000 + 123, "for 123");
    for (int i = 0; i < kIds; ++i)
        EXPECT_EQ(readable(fds[i]), i == 123) << i;
    for (int fd : fds)
        thread_queue_unwatch(fd);
    EXPECT_EQ(recv_text(1000 + 123), "for 123");
}

// A receiver that waits on its watch while a sender queues: every message
// arrives once and in order, and the receiver never waits on a watch that
// has messages behind it.
struct Watched {
    int64_t id;
    int fd;
    int count;
    int received;
    bool in_order;
};

void *watched_receiver(void *p)
{
    Watched *w = static_cast<Watched *>(p);
    while (w->received < w->count) {
        if (!readable(w->fd, 10000))
            break;  // a lost wake-up: the test fails on the count
        size_t len;
        while (char *text = thread_queue_recv(w->id, &len)) {
            if (std::string(text, len) != std::to_string(w->received))
                w->in_order = false;
            free(text);
            ++w->received;
        }
    }
    return nullptr;
}

TEST_F(ThreadQueue, a_receiver_waiting_on_its_watch_gets_every_message_in_order)
{
    constexpr int kThreads = 4;
    constexpr int kCount = 5000;
    Watched w[kThreads];
    pthread_t th[kThreads];
    for (int i = 0; i < kThreads; ++i) {
        w[i] = Watched{200 + i, thread_queue_watch(200 + i), kCount, 0, true};
        ASSERT_GE(w[i].fd, 0);
        ASSERT_EQ(pthread_create(&th[i], nullptr, watched_receiver, &w[i]), 0);
    }
    for (int n = 0; n < kCount; ++n)
        for (int i = 0; i < kThreads; ++i)
            send_text(w[i].id, std::to_string(n));
    for (int i = 0; i < kThreads; ++i) {
        pthread_join(th[i], nullptr);
        EXPECT_EQ(w[i].received, kCount) << "thread " << i;
        EXPECT_TRUE(w[i].in_order) << "thread " << i;
        EXPECT_FALSE(readable(w[i].fd)) << "thread " << i;
        thread_queue_unwatch(w[i].fd);
    }
}

}  // namespace
