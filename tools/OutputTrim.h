// Text rules of the command window: the output pane's 30000-character limit, enforced by
// dropping whole lines from the front, and the check of the line typed into the entry.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

constexpr size_t OUTPUT_TEXT_LIMIT = 30000;

// A typed command travels with its CR LF and a terminating NUL through a buffer of textSize
// characters (the window's slot, then the board queue's): the longest line accepted is
// textSize - 3 characters plus CR LF.
constexpr size_t CommandLineMaxChars(size_t textSize) {
    return textSize - 3;
}

// Offset in text (length chars) where the kept content starts once excess characters must
// go: every character that is not a line feed counts against excess, and the cut is made
// just after the first line feed at which excess is used up. Returns length (nothing kept)
// when the text ends first. An excess of 0 or less keeps everything.
size_t OutputKeepFrom(const char* text, size_t length, long excess);

// The output pane's new content after appending added to current, within limit characters
// (the limit counts the terminating NUL of the edit control's text).
std::string AppendToOutputText(const std::string& current, const char* added,
                               size_t limit = OUTPUT_TEXT_LIMIT);

// The entry's text taken apart at its line breaks, for lines travelling in buffers of
// textSize characters (CR LF as Enter makes it, or a lone LF or
// CR from pasted text).
struct CmdEntrySplit {
    // Complete lines in order, each with CR LF added, each to go to the board as a command of
    // its own; lines empty or of blanks only send nothing.
    std::vector<std::string> Lines;
    // What stays in the entry: the unfinished last line, or a line too long for a queue slot
    // (without its break), which the operator shortens.
    std::string Keep;
    // Length of that refused line, 0 when none.
    size_t TooLong;
    // The text after the refused line's break, not looked at yet: it goes once the refused
    // line has been dealt with.
    std::string After;
    // Whether the text held any line break at all (otherwise the operator is still typing
    // and the entry is left alone).
    bool HadBreak;
};

CmdEntrySplit SplitCommandEntry(const char* text, size_t length, size_t textSize);

// The notice shown in the output pane for a refused line of length characters (its CR LF
// not counted), the lines travelling in buffers of textSize characters; ends with CR LF.
std::string CommandTooLongNotice(size_t length, size_t textSize);
