#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/SerialCmdQ.h"
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

TEST(SplitCommandEntry, EachCompleteLineIsACommandOfItsOwn) {
    const std::string a253(253, 'A'), b254(254, 'B');
    const struct {
        std::string text;
        std::vector<std::string> lines;
        std::string keep;
        size_t tooLong;
        std::string after;
        bool hadBreak;
    } cases[] = {
        {"V5\r\n", {"V5\r\n"}, "", 0, "", true},
        {"S54=My Controller\r\n", {"S54=My Controller\r\n"}, "", 0, "", true},
        {"V5", {}, "V5", 0, "", false},
        {"", {}, "", 0, "", false},
        {"\r\n", {}, "", 0, "", true},      // an empty line sends nothing
        {" \t  \r\n", {}, "", 0, "", true}, // nor does one of blanks only
        {" V5\r\n", {" V5\r\n"}, "", 0, "", true},
        {"S54\r\nV5\r\n", {"S54\r\n", "V5\r\n"}, "", 0, "", true},
        {"S54\r\nV5", {"S54\r\n"}, "V5", 0, "", true},         // Enter in the middle
        {"S54\nV5\n", {"S54\r\n", "V5\r\n"}, "", 0, "", true}, // pasted with LF only
        {"S54\rV5\r", {"S54\r\n", "V5\r\n"}, "", 0, "", true}, // pasted with CR only
        {"S54\r\n\r\n  \r\nV5\r\n", {"S54\r\n", "V5\r\n"}, "", 0, "", true},
        {a253 + "\r\n", {a253 + "\r\n"}, "", 0, "", true},
        {b254 + "\r\n", {}, b254, 254, "", true},
        // The lines before a refused one go; the refused one alone stays in the entry and
        // what followed it waits, untouched.
        {"V1\r\n" + b254 + "\r\nV2\r\nV3", {"V1\r\n"}, b254, 254, "V2\r\nV3", true},
        {"V1\n" + b254 + "\n" + b254 + "\n", {"V1\r\n"}, b254, 254, b254 + "\n", true},
        {b254, {}, b254, 0, "", false}, // still typing
    };
    for (const auto& c : cases) {
        CmdEntrySplit split = SplitCommandEntry(c.text.data(), c.text.size(), MSGQ_TEXT_SIZE);
        EXPECT_EQ(split.Lines, c.lines) << c.text.size() << " characters";
        EXPECT_EQ(split.Keep, c.keep) << c.text.size() << " characters";
        EXPECT_EQ(split.TooLong, c.tooLong) << c.text.size() << " characters";
        EXPECT_EQ(split.After, c.after) << c.text.size() << " characters";
        EXPECT_EQ(split.HadBreak, c.hadBreak) << c.text.size() << " characters";
    }
}

TEST(SplitCommandEntry, LongestAcceptedLineFillsTheBufferWithItsNul) {
    for (size_t size : {size_t{8}, size_t{256}}) {
        std::string line = std::string(CommandLineMaxChars(size), 'A') + "\r\n";
        CmdEntrySplit split = SplitCommandEntry(line.data(), line.size(), size);
        ASSERT_EQ(split.Lines.size(), 1u) << size;
        EXPECT_EQ(split.Lines[0].size() + 1, size);
        line.insert(0, "A");
        EXPECT_EQ(SplitCommandEntry(line.data(), line.size(), size).TooLong, size - 2) << size;
    }
}

TEST(CommandTooLongNotice, NamesTheLengthAndEndsTheLine) {
    std::string notice = CommandTooLongNotice(300, MSGQ_TEXT_SIZE);
    EXPECT_NE(notice.find("300"), std::string::npos);
    EXPECT_NE(notice.find("253"), std::string::npos);
    EXPECT_EQ(notice.substr(notice.size() - 2), "\r\n");
}

} // namespace
