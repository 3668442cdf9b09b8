// What every torvanctl command shares: exit codes, number checks, the one board a run talks to,
// its last reply, and a few output and waiting helpers.
#pragma once

#include <cstddef>
#include <cstdio>

#include "ctl/CtlReport.h"
#include "device/LegacyBoardUtils.h"

enum ExitCode {
    EXIT_DONE = 0,
    EXIT_OTHER = 1,
    EXIT_USAGE = 2,
    EXIT_NO_BOARD = 3,
    EXIT_TIMED_OUT = 4,
    EXIT_LIMIT_FAILED = 5,
};

constexpr int COMMAND_TEXT_SIZE = 256;
constexpr int REPLY_TEXT_SIZE = REPLY_BUFFER_SIZE;
// A command on several ports takes up to this many (a bench of boards).
constexpr int MAX_PORTS = 64;
// Room for a port's one name (a resolved device path) and for the state folder's path: long
// paths are whole, not cut.
constexpr size_t PORT_NAME_SIZE = 4096;
constexpr size_t STATE_FOLDER_SIZE = 4096;

// Decimal numbers only, in the "C" locale: "12abc", "", "0x32", "inf" and "nan" are refused
// rather than read as something else.
int ParseDouble(const char* text, double* out);
int ParseLong(const char* text, long low, long high, long* out);

// ---------------------------------------------------------------------------------------
// The board

// The board, its reply and its lock are the calling thread's: a command on several ports gives
// each board a thread of its own.
extern thread_local ComHandle Board;
// The last reply Ask received, prompt removed, and what kind of reply it was.
extern thread_local char Reply[REPLY_TEXT_SIZE];
extern thread_local BoardReplyKind ReplyKind;

// Prints "torvanctl: " (on a board's own thread also its port) and the formatted text on
// standard error, as one line; returns code.
int Fail(int code, const char* format, const char* text);
// The text of this thread's last Fail, for a summary of several boards.
extern thread_local char LastFailure[300];
// Makes the calling thread the home of one board of several: its device state (error bits,
// saved speed and line ending) is its own and its messages name its port.
void BeginBenchBoard(const char* port);
// Installs the device layer's abort check for the whole run: once torvanctl is told to stop, a
// reply being read fails at its next byte and settle waits end, except while the board is
// being put back (Restoring).
void InstallAbortCheck();
void SetRestoring(int restoring);
// Ends the run of every board as Ctrl-C does, without being Ctrl-C (watch --once is done).
void StopEveryBoard();
// Ctrl-C or StopEveryBoard.
int StopWanted();
// Takes the port's lock (exit 3 "PORT is in use ..." when another program holds it), then
// finds the board. Returns an exit code.
int OpenBoard(const char* port);
// Restores the board's line ending and speed, closes the port and gives the lock up.
void CloseBoard();
// Gives the port's lock up (after DropBoardLink).
void ReleaseBoardPort();
// As CloseBoard, but the port stays locked: a reconnection on it follows.
void DropBoardLink();
// Takes the port's lock only (exit 3 when another program holds it); ReconnectBoard finds the
// board.
int LockBoardPort(const char* port);
// Looks for the board (again) on the port locked by OpenBoard or LockBoardPort. 1 when found.
int ReconnectBoard(const char* port);
// Sends one command line and keeps its reply in Reply. 1 on a reply, refused or not.
int Ask(const char* command);
// As Ask, and reports a missing reply on standard error ("interrupted" after Ctrl-C).
int AskOrFail(const char* command);
// As AskOrFail, as an exit code: EXIT_DONE on a reply (refused or not), else EXIT_TIMED_OUT, or
// EXIT_OTHER when the run was told to stop.
int AskCode(const char* command);
// The exit code of a board that stopped answering: EXIT_OTHER once the run was told to stop
// (the reply was cut short by it), else EXIT_TIMED_OUT.
int StoppedOrTimedOut();
// EXIT_DONE when the board is a controller; a meter is refused ("COM5 is a meter: it has no
// set point", EXIT_OTHER) before any set point is sent.
int RequireController(const char* port);
// Reads and drops whatever is still arriving on the line (the rest of a reply that Ctrl-C cut
// short), so that the replies read next are the ones to the commands sent next.
void DrainStaleReplies();
// The board is being put back: stale replies drained, and from here replies are read even
// after Ctrl-C (SetRestoring(0) ends it).
void BeginRestoring();
// Sends one command line that the board must take. Returns EXIT_DONE, EXIT_TIMED_OUT (no
// reply) or EXIT_OTHER (refused), the failures reported with the board's words.
int Require(const char* command);
// Reports a command's failed reply as Require does and returns its exit code.
int ReportReply(const char* command, const BoardReply& reply);
// Removes the line ending the board puts before its prompt.
void TrimLineEnd(char* text);
// A board text for one line of output: leading blanks and every CR and LF dropped.
void CleanBoardText(const char* in, char* out, size_t outSize);
int RejectedByBoard();
// Asks for a register and scans its reply with format. EXIT_DONE, or the exit code of a missing
// reply (AskCode) or one that does not scan (EXIT_OTHER, with the board's words), reported.
int ReadRegister(const char* command, const char* format, unsigned* value);

// The state record's status flags, in words.
struct StatusText {
    uint16_t Bit;
    const char* Text;
};
constexpr int STATUS_TEXT_COUNT = 8;
extern const StatusText StatusTexts[STATUS_TEXT_COUNT];

// Kind, name and active gas. 0 (reported) when the board stopped answering.
int ReadBoardInfo(BoardInfo* info);
// Board and gas for the log header: ", Board: NAME, Gas: SYMBOL FULLSCALE UNITS".
int DescribeBoard(char* out, size_t outSize);

// ---------------------------------------------------------------------------------------
// Output and waiting

// Writes and flushes one line; reports a failed write.
int WriteLine(FILE* file, const char* line, const char* fileName);
// Waits until the given DeviceNowSeconds() time in short slices, so Ctrl-C is seen within
// 20 ms.
void SleepUntil(double until);
