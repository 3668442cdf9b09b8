// Text rules of the command window: the output pane's 30000-character limit, enforced by
// dropping whole lines from the front, and the check of the line typed into the entry.
#pragma once

#include <cstddef>
#include <string>

#include "app/SerialCmdQ.h"

constexpr size_t OUTPUT_TEXT_LIMIT = 30000;

// A typed command travels with its CR LF through a queue slot of MSGQ_TEXT_SIZE characters
// including the terminating NUL, so the longest line accepted is 253 characters plus CR LF.
constexpr size_t CMD_LINE_MAX_CHARS = MSGQ_TEXT_SIZE - 3;
constexpr size_t CMD_TEXT_SIZE = CMD_LINE_MAX_CHARS + 3;

// Offset in text (length chars) where the kept content starts once excess characters must
// go: every character that is not a line feed counts against excess, and the cut is made
// just after the first line feed at which excess is used up. Returns length (nothing kept)
// when the text ends first. An excess of 0 or less keeps everything.
size_t OutputKeepFrom(const char* text, size_t length, long excess);

// The output pane's new content after appending added to current, within limit characters
// (the limit counts the terminating NUL of the edit control's text).
std::string AppendToOutputText(const std::string& current, const char* added,
                               size_t limit = OUTPUT_TEXT_LIMIT);

enum CmdLineStatus {
    CMD_LINE_INCOMPLETE = 0, // no CR LF at the end yet: the operator is still typing
    CMD_LINE_READY = 1,      // ends with CR LF and fits
    CMD_LINE_TOO_LONG = 2,   // ends with CR LF but longer than CMD_LINE_MAX_CHARS before it
};

CmdLineStatus CheckCommandLine(const char* text, size_t length);

// The notice shown in the output pane for a refused line of length characters (its CR LF
// not counted); ends with CR LF.
std::string CommandTooLongNotice(size_t length);
