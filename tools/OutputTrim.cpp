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

CmdLineStatus CheckCommandLine(const char* text, size_t length) {
    if (length < 2 || text[length - 2] != '\r' || text[length - 1] != '\n')
        return CMD_LINE_INCOMPLETE;
    if (length - 2 > CMD_LINE_MAX_CHARS)
        return CMD_LINE_TOO_LONG;
    return CMD_LINE_READY;
}

std::string CommandTooLongNotice(size_t length) {
    char notice[128];
    std::snprintf(notice, sizeof notice, "Command not sent: %lu characters, at most %lu fit.\r\n",
                  static_cast<unsigned long>(length),
                  static_cast<unsigned long>(CMD_LINE_MAX_CHARS));
    return notice;
}
