#include "tools/OutputTrim.h"

#include <cstdio>

size_t OutputKeepFrom(const char* text, size_t length, long excess) {
    if (excess <= 0)
        return 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] != '\n')
            excess--;
        else if (excess <= 0)
            return i + 1;
    }
    return length;
}

std::string AppendToOutputText(const std::string& current, const char* added, size_t limit) {
    std::string text = current;
    text += added;
    size_t total = text.size() + 1;
    if (total <= limit)
        return text;
    size_t keepFrom = OutputKeepFrom(text.data(), text.size(), static_cast<long>(total - limit));
    return text.substr(keepFrom);
}

// A line of spaces and tabs only: the board would answer it with "Invalid Command".
static bool IsBlank(const char* line, size_t length) {
    for (size_t i = 0; i < length; i++)
        if (line[i] != ' ' && line[i] != '\t')
            return false;
    return true;
}

CmdEntrySplit SplitCommandEntry(const char* text, size_t length, size_t textSize) {
    CmdEntrySplit split;
    split.TooLong = 0;
    split.HadBreak = false;
    size_t pos = 0;
    while (pos < length) {
        size_t end = pos;
        while (end < length && text[end] != '\r' && text[end] != '\n')
            end++;
        if (end == length)
            break;
        split.HadBreak = true;
        size_t next = end + 1;
        if (text[end] == '\r' && next < length && text[next] == '\n')
            next++;
        size_t lineLength = end - pos;
        if (lineLength > CommandLineMaxChars(textSize)) {
            split.TooLong = lineLength;
            split.Keep.assign(text + pos, lineLength);
            split.After.assign(text + next, length - next);
            return split;
        }
        if (!IsBlank(text + pos, lineLength))
            split.Lines.push_back(std::string(text + pos, lineLength) + "\r\n");
        pos = next;
    }
    split.Keep.assign(text + pos, length - pos);
    return split;
}

std::string CommandTooLongNotice(size_t length, size_t textSize) {
    char notice[128];
    std::snprintf(notice, sizeof notice, "Command not sent: %lu characters, at most %lu fit.\r\n",
                  static_cast<unsigned long>(length),
                  static_cast<unsigned long>(CommandLineMaxChars(textSize)));
    return notice;
}
