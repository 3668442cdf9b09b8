#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tools/OutputTrim.h"

namespace {

std::string Repeat(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; i++)
        text += piece;
    return text;
}

size_t NonLineFeeds(const std::string& text) {
    size_t count = 0;
    for (char c : text)
        count += c != '\n';
    return count;
}

TEST(OutputKeepFrom, DropsWholeLinesUntilTheExcessIsCovered) {
    struct {
        const char* text;
        long excess;
        size_t keepFrom;
    } cases[] = {
        {"ab\ncd\n", 0, 0},   {"ab\ncd\n", -3, 0},
        {"ab\ncd\n", 1, 3},   {"ab\ncd\n", 2, 3}, // used up exactly at the first line feed
        {"ab\ncd\n", 3, 6},                       // the second line goes too: nothing left
        {"ab\ncd\nef", 3, 6},                     // an unfinished last line stays
        {"ab\ncd\nef", 5, 8},                     // the text ends before the excess is used up
        {"\n\nabc\nd", 1, 6},                     // leading line feeds do not count
        {"a\r\nb\r\n", 2, 3},                     // CR counts like any other character
        {"abcdef", 1, 6},                         // no line feed at all: empty
    };
    for (const auto& c : cases)
        EXPECT_EQ(OutputKeepFrom(c.text, std::strlen(c.text), c.excess), c.keepFrom)
            << c.text << " / " << c.excess;
}

TEST(AppendToOutputText, SmallLimitCases) {
    struct {
        const char* current;
        const char* added;
        const char* result;
    } cases[] = {
        {"aaa\n", "bb\n", "aaa\nbb\n"},       // 7 + NUL fits 10
        {"aaa\nbb\n", "c\n", "aaa\nbb\nc\n"}, // 9 + NUL: exactly at the limit
        {"aaa\nbb\n", "cc\n", "bb\ncc\n"},    // one over: the first line goes
        {"a\nbbbb\n", "ccccc\n", "ccccc\n"},  // 4 over: "a" counts 1, "bbbb" the rest
        {"a\nbb\n", "cccccccccc\n", ""},      // the reply alone is too long
        {"xxxxxxx", "yyy", ""},               // no line feed anywhere
    };
    for (const auto& c : cases)
        EXPECT_EQ(AppendToOutputText(c.current, c.added, 10), c.result)
            << c.current << " + " << c.added;
}

TEST(AppendToOutputText, UnderTheLimitTheTextIsUnchanged) {
    EXPECT_EQ(AppendToOutputText("11111\r\n22222\r\n", "V5\r\n"), "11111\r\n22222\r\nV5\r\n");
    std::string full = Repeat("ABCDEFGH\r\n", 2999); // 29990 characters
    EXPECT_EQ(AppendToOutputText(full, "123456789"), full + "123456789");
}

TEST(AppendToOutputText, ReplyPastTheLimitDropsLeadingLines) {
    std::string current = Repeat("ABCDEFGH\r\n", 2999);
    ASSERT_EQ(current.size(), 29990u);
    const std::string reply = "0123456789ABCDEF>\r\n";
    ASSERT_EQ(reply.size() + 1, 20u);
    std::string withReply = reply + "X"; // 20 characters
    std::string result = AppendToOutputText(current, withReply.c_str());
    // 29990 + 20 + 1 = 30011: 11 characters too many. The first line holds 9 that count
    // (8 letters and the CR), so the second goes too: 20 characters dropped.
    EXPECT_EQ(result, current.substr(20) + withReply);
    size_t dropped = current.size() + withReply.size() - result.size();
    EXPECT_GE(NonLineFeeds((current + withReply).substr(0, dropped)), 11u);
    EXPECT_LE(result.size() + 1, OUTPUT_TEXT_LIMIT);
    EXPECT_EQ(result.compare(result.size() - withReply.size(), withReply.size(), withReply), 0);
}

TEST(AppendToOutputText, LeadingLineFeedsAreDroppedWithoutCounting) {
    std::string current = Repeat("\n", 15000) + Repeat("zzzzzzzz\r\n", 1499);
    ASSERT_EQ(current.size(), 29990u);
    // 29990 + 11 + 1 = 30002: two characters too many, which only the first z line covers.
    std::string result = AppendToOutputText(current, "new reply\r\n");
    EXPECT_EQ(result, current.substr(15010) + "new reply\r\n");
}

TEST(AppendToOutputText, OutputWithoutLineFeedOverTheLimitEmpties) {
    EXPECT_EQ(AppendToOutputText(std::string(29995, 'x'), "abcdefghij"), "");
}

TEST(CheckCommandLine, SendsOnlyCompleteLinesThatFitTheQueue) {
    struct {
        std::string text;
        CmdLineStatus status;
    } cases[] = {
        {"V5\r\n", CMD_LINE_READY},
        {"S54=My Controller\r\n", CMD_LINE_READY},
        {"\r\n", CMD_LINE_READY},
        {"V5", CMD_LINE_INCOMPLETE},
        {"V5\r", CMD_LINE_INCOMPLETE},
        {"V5\n", CMD_LINE_INCOMPLETE},
        {"V5\r\nV", CMD_LINE_INCOMPLETE},
        {"", CMD_LINE_INCOMPLETE},
        {"\n", CMD_LINE_INCOMPLETE},
        {std::string(253, 'A') + "\r\n", CMD_LINE_READY},
        {std::string(254, 'A') + "\r\n", CMD_LINE_TOO_LONG},
        {std::string(300, 'A') + "\r\n", CMD_LINE_TOO_LONG},
        {std::string(300, 'A'), CMD_LINE_INCOMPLETE},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CheckCommandLine(c.text.data(), c.text.size()), c.status)
            << c.text.size() << " characters";
}

TEST(CheckCommandLine, LongestAcceptedLineFitsAQueueSlotWithItsNul) {
    std::string line = std::string(CMD_LINE_MAX_CHARS, 'A') + "\r\n";
    ASSERT_EQ(CheckCommandLine(line.data(), line.size()), CMD_LINE_READY);
    EXPECT_LE(line.size() + 1, static_cast<size_t>(MSGQ_TEXT_SIZE));
    EXPECT_LE(line.size() + 1, CMD_TEXT_SIZE);
}

TEST(CommandTooLongNotice, NamesTheLengthAndEndsTheLine) {
    std::string notice = CommandTooLongNotice(300);
    EXPECT_NE(notice.find("300"), std::string::npos);
    EXPECT_NE(notice.find("253"), std::string::npos);
    EXPECT_EQ(notice.substr(notice.size() - 2), "\r\n");
}

} // namespace
