#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/SerialCmdQ.h"

namespace {

struct Entry {
    int kind;
    char* text;
    uint32_t message;
    int parse;
    void* result;
    size_t resultSize;
};

int Take(Entry* entry) {
    return DequeueThreadMsg(&entry->kind, &entry->text, &entry->message, &entry->parse,
                            &entry->result, &entry->resultSize);
}

std::string NumberedText(int n) {
    char text[32];
    snprintf(text, sizeof text, "CMD%d\r", n);
    return text;
}

// Every field derives from n so a slot mixed up with another is caught.
int PutNumbered(int n) {
    return EnqueueThreadMsg(n % 3, NumberedText(n).c_str(), 40000u + n, n % 4,
                            (void*)(uintptr_t)(n + 1), (size_t)(n * 2));
}

void ExpectNumbered(const Entry& entry, int n) {
    EXPECT_EQ(entry.kind, n % 3) << n;
    EXPECT_STREQ(entry.text, NumberedText(n).c_str()) << n;
    EXPECT_EQ(entry.message, 40000u + n) << n;
    EXPECT_EQ(entry.parse, n % 4) << n;
    EXPECT_EQ(entry.result, (void*)(uintptr_t)(n + 1)) << n;
    EXPECT_EQ(entry.resultSize, (size_t)(n * 2)) << n;
}

class SerialCmdQTest : public ::testing::Test {
  protected:
    void SetUp() override { ClearMsgQueue(); }
    void TearDown() override { ClearMsgQueue(); }
};

TEST_F(SerialCmdQTest, EmptyQueueLeavesOutputsAlone) {
    int marker;
    Entry entry{77, (char*)"untouched", 12345u, 9, &marker, 31};
    EXPECT_EQ(Take(&entry), 0);
    EXPECT_EQ(entry.kind, 77);
    EXPECT_STREQ(entry.text, "untouched");
    EXPECT_EQ(entry.message, 12345u);
    EXPECT_EQ(entry.parse, 9);
    EXPECT_EQ(entry.result, &marker);
    EXPECT_EQ(entry.resultSize, 31u);
}

TEST_F(SerialCmdQTest, HoldsNineHundredNinetyNineAndDropsTheThousandth) {
    for (int n = 0; n < 999; ++n) {
        ASSERT_EQ(PutNumbered(n), 1) << n;
    }
    // The caller learns of the drop: a send it counted as made would never be carried out.
    EXPECT_EQ(EnqueueThreadMsg(2, "DROPPED\r", 1u, 0, nullptr, 0), 0);

    Entry entry;
    for (int n = 0; n < 999; ++n) {
        ASSERT_EQ(Take(&entry), 1) << n;
        ExpectNumbered(entry, n);
    }
    EXPECT_EQ(Take(&entry), 0);
}

TEST_F(SerialCmdQTest, KeepsOrderAcrossTheWrap) {
    // Move both indices to 990 so that the next entries cross slot 999 into slot 0.
    Entry entry;
    for (int n = 0; n < 990; ++n) {
        PutNumbered(n);
        ASSERT_EQ(Take(&entry), 1);
    }
    ASSERT_EQ(MsgQ.tail.load(), 990);
    for (int n = 0; n < 30; ++n) {
        PutNumbered(5000 + n);
    }
    EXPECT_EQ(MsgQ.tail.load(), 20);
    for (int n = 0; n < 30; ++n) {
        ASSERT_EQ(Take(&entry), 1);
        ExpectNumbered(entry, 5000 + n);
    }
    EXPECT_EQ(Take(&entry), 0);
}

TEST_F(SerialCmdQTest, FullAfterWrapStillDropsTheThousandth) {
    Entry entry;
    for (int n = 0; n < 500; ++n) {
        PutNumbered(n);
        ASSERT_EQ(Take(&entry), 1);
    }
    for (int n = 0; n < 1000; ++n) {
        PutNumbered(n);
    }
    for (int n = 0; n < 999; ++n) {
        ASSERT_EQ(Take(&entry), 1);
        ExpectNumbered(entry, n);
    }
    EXPECT_EQ(Take(&entry), 0);
}

TEST_F(SerialCmdQTest, TextIsStoredCutOrEmpty) {
    std::string exact(255, 'b');
    std::string longer(300, 'a');
    longer[254] = 'Z';
    longer[255] = 'Y';
    struct Case {
        const char* name;
        const char* text;
        std::string expected;
    } cases[] = {
        {"300 characters", longer.c_str(), longer.substr(0, 255)},
        {"255 characters", exact.c_str(), exact},
        {"null", nullptr, ""},
        {"empty", "", ""},
        {"ordinary", "G18\r", "G18\r"},
    };
    for (const Case& c : cases) {
        // A previous longer text in the same slot must not show through.
        EnqueueThreadMsg(0, std::string(255, 'x').c_str(), 1u, 0, nullptr, 0);
        Entry entry;
        ASSERT_EQ(Take(&entry), 1);
        EnqueueThreadMsg(0, c.text, 2u, 0, nullptr, 0);
        ASSERT_EQ(Take(&entry), 1);
        EXPECT_EQ(std::string(entry.text), c.expected) << c.name;
        EXPECT_EQ(strlen(entry.text), c.expected.size()) << c.name;
    }
}

TEST_F(SerialCmdQTest, ClearOnAFullQueueEmptiesItAndRestartsAtSlotZero) {
    Entry entry;
    for (int n = 0; n < 7; ++n) {
        PutNumbered(n);
        ASSERT_EQ(Take(&entry), 1);
    }
    for (int n = 0; n < 1200; ++n) {
        PutNumbered(n);
    }
    ClearMsgQueue();
    EXPECT_EQ(Take(&entry), 0);

    EnqueueThreadMsg(1, "~GAFV\r", 32791u, 0, nullptr, 0);
    EXPECT_EQ(MsgQ.kind[0], 1);
    EXPECT_STREQ(MsgQ.text[0], "~GAFV\r");
    EXPECT_EQ(MsgQ.tail.load(), 1);
    ASSERT_EQ(Take(&entry), 1);
    EXPECT_EQ(entry.text, MsgQ.text[0]);
    EXPECT_EQ(entry.message, 32791u);
    EXPECT_EQ(Take(&entry), 0);
}

TEST_F(SerialCmdQTest, ResultSizeIsOptionalOnDequeue) {
    char target[16];
    EnqueueThreadMsg(0, "S54\r", 32809u, 0, target, sizeof target);
    int kind, parse;
    char* text;
    uint32_t message;
    void* result;
    ASSERT_EQ(DequeueThreadMsg(&kind, &text, &message, &parse, &result), 1);
    EXPECT_EQ(result, (void*)target);
    EXPECT_EQ(MsgQ.resultSize[0], sizeof target);
}

} // namespace
