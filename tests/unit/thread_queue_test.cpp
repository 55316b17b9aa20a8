// The process-wide thread message queue.
#include "engine/thread_queue.h"

#include <gtest/gtest.h>

#include <pthread.h>

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
    free(snap);
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

TEST_F(ThreadQueue, holds_large_texts)
{
    std::string big(10 * 1024 * 1024 + 3, 'x');
    big[5] = '\0';
    send_text(-1, big);
    EXPECT_EQ(recv_text(-1), big);
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
    free(snap);
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
            free(thread_queue_snapshot());
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

}  // namespace
