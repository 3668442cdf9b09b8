#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "app/SerialCmdQ.h"

namespace {

constexpr int STRESS_ENTRIES = 2000000;

// The producer writes every field from the sequence number; the consumer rebuilds them and
// compares, so a slot read before it was fully written, or overwritten before it was read,
// shows up as a mismatch (and, under ThreadSanitizer, as a race).
void FormatText(int n, char* out, size_t size) {
    snprintf(out, size, "V%d=%d\r", n % 97, n);
}

TEST(QueueStressTest, TwoThreadsPassEntriesInOrderAndIntact) {
    ClearMsgQueue();

    std::thread producer([] {
        char text[64];
        int n = 0;
        while (n < STRESS_ENTRIES) {
            int tail = MsgQ.tail.load(std::memory_order_relaxed);
            int next = tail + 1 == MSGQ_SLOTS ? 0 : tail + 1;
            if (next == MsgQ.head.load(std::memory_order_acquire)) {
                std::this_thread::yield();
                continue;
            }
            FormatText(n, text, sizeof text);
            EnqueueThreadMsg(n % 3, text, (uint32_t)n, n % 4, (void*)(uintptr_t)(n * 8 + 8),
                             (size_t)(n % 1000));
            ++n;
        }
    });

    int mismatches = 0;
    int received = 0;
    char expected[64];
    while (received < STRESS_ENTRIES) {
        int kind, parse;
        char* text;
        uint32_t message;
        void* result;
        size_t resultSize;
        if (!DequeueThreadMsg(&kind, &text, &message, &parse, &result, &resultSize)) {
            std::this_thread::yield();
            continue;
        }
        FormatText(received, expected, sizeof expected);
        if (kind != received % 3 || parse != received % 4 || message != (uint32_t)received ||
            result != (void*)(uintptr_t)(received * 8 + 8) ||
            resultSize != (size_t)(received % 1000) || strcmp(text, expected) != 0) {
            if (++mismatches < 5) {
                ADD_FAILURE() << "entry " << received << " came out as message " << message
                              << " text " << text;
            }
        }
        ++received;
    }
    producer.join();

    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(received, STRESS_ENTRIES);
    int kind, parse;
    char* text;
    uint32_t message;
    void* result;
    EXPECT_EQ(DequeueThreadMsg(&kind, &text, &message, &parse, &result), 0);
}

} // namespace
