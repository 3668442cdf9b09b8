// A chaos schedule: what the operator does and what the boards do wrong over one simulated
// session, as a time-ordered list of events drawn from a seed, and its text form (one event a
// line) that a replay reads back exactly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/chaos/ChaosRandom.h"

// The simulated session runs this long; the session's end comes at this time at the latest.
constexpr int64_t CHAOS_SESSION_MS = 60000;
// Boards behind the simulated ports, named A, B, C in a schedule.
constexpr int CHAOS_BOARDS = 3;

enum ChaosEventKind {
    // Operator actions.
    EV_OPEN = 0,  // Open, the port dialog answered with Board (-1: cancelled)
    EV_DIALOG,    // the next port dialog the program opens by itself is answered with Board
    EV_CLOSE,     // Close
    EV_EXIT,      // Exit (the window's close)
    EV_SIMULATE,  // 40110, the simulated board
    EV_SETPOINT,  // a set point chosen: Tenths of a percent of full scale
    EV_PID,       // a PID value chosen: Text P, I or D, Tenths
    EV_SAVE,      // SAVE TO FLASH
    EV_TYPE,      // a command line typed into the command window: Text
    EV_PASTE,     // command lines pasted at once: Text, lines split by '|'
    EV_LOG_START, // Start Log
    EV_LOG_STOP,  // Stop Log
    EV_GRAPH_OPEN,
    EV_GRAPH_CLOSE,
    EV_TOTAL_RESET, // totalizer reset
    // Board faults, on Board.
    EV_FAULT,      // a fault in the emulator's grammar: Text "NAME [ARG] [once] [on COMMAND]"
    EV_MUTE,       // the next command named Text is carried out and its reply lost
    EV_POWERCYCLE, // the board restarts at its own speed and line ending
    EV_STUCK,      // reads on the board's port ignore a stop for Arg ms (a stuck worker)
    // The session's end (log-off / shutdown).
    EV_END,
    EV_KIND_COUNT
};

struct ChaosEvent {
    int64_t AtMs;
    ChaosEventKind Kind;
    int Board;        // 0..CHAOS_BOARDS-1, -1 for none / a cancelled dialog
    long Arg;         // tenths for values, ms for a stuck read
    std::string Text; // see the kinds
};

struct ChaosSchedule {
    uint64_t Seed;
    std::vector<ChaosEvent> Events;
};

const char* ChaosEventName(ChaosEventKind kind);
// 1 for the faults a board does, the stuck read included.
int ChaosIsBoardEvent(ChaosEventKind kind);

// The schedule of one seed: the same seed gives the same events on any machine.
ChaosSchedule ChaosDrawSchedule(uint64_t seed);
// The seed of schedule number index of a campaign started with seed.
uint64_t ChaosScheduleSeed(uint64_t campaignSeed, uint64_t index);

// One event as a line, without the newline; the whole schedule with a comment line on top.
std::string ChaosFormatEvent(const ChaosEvent& event);
std::string ChaosFormatSchedule(const ChaosSchedule& schedule);

// Reads the text form back. Returns 1; or 0 with "line N: what is wrong" in *error. Blank
// lines and lines starting with '#' are skipped; "# seed N" sets the seed.
int ChaosParseSchedule(const std::string& text, ChaosSchedule* out, std::string* error);
// The same for one line; 1 when it holds an event, 0 with a reason otherwise.
int ChaosParseEvent(const std::string& line, ChaosEvent* out, std::string* error);

// Fault names a schedule may give after "fault", with whether each takes a number.
int ChaosFaultNameKnown(const std::string& name, int* takesNumber);
