// torvanctl's command line through CLI11: each command defines its positionals and named,
// typed options on a subcommand of its own, and the help and usage lines are made from those
// definitions. CLI11 throws; only main and the functions here see its exceptions.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

// A command once its arguments are parsed: returns the exit code.
typedef int (*CommandRun)();

// Adds a command to torvanctl: its name, one line for the overview's list and the text of
// its --help. Options added to the returned subcommand refuse to be given twice, and their
// values, when they look like an option ("--out --json"), are refused as missing.
CLI::App* AddCommand(CLI::App* root, const char* name, const char* help, CommandRun run);
// The run of the command that was parsed, or null.
CommandRun ParsedCommandRun(const CLI::App* root);

// A value for an option or positional: not one that looks like an option, which means the
// value was left out ("--out --json").
CLI::Validator ValueNotOption();
// Numbers as a person writes them in the "C" locale: decimal only (no 0x, no leading-zero
// octal), finite, nothing after them, from low to high.
CLI::Validator DecimalIn(double low, double high);
// As DecimalIn, more than 0 and at most high (a band, a duration, a time-out).
CLI::Validator PositiveDecimal(double high);
CLI::Validator WholeIn(long low, long high);

// The definitions every command uses, each with its help line: the ports (one, or up to max),
// an option with a text, a number or a whole number (typeName is the value's name in the usage
// line, "S", "FILE"), and a flag.
CLI::Option* AddPorts(CLI::App* command, std::vector<std::string>* ports, int max);
CLI::Option* AddText(CLI::App* command, const char* name, std::string* value, const char* typeName,
                     const char* help);
CLI::Option* AddNumber(CLI::App* command, const char* name, double* value, double low, double high,
                       const char* typeName, const char* help);
CLI::Option* AddPositive(CLI::App* command, const char* name, double* value, const char* typeName,
                         const char* help, double high = 1e9);
CLI::Option* AddWhole(CLI::App* command, const char* name, long* value, long low, long high,
                      const char* typeName, const char* help);
CLI::Option* AddFlag(CLI::App* command, const char* name, bool* value, const char* help);

// "step-test PORT [PORT ...] --steps LIST --hold S [--band B] ...": the command's name and
// its definitions, wrapped at about 90 columns with continuation lines indented.
std::string UsageLine(const CLI::App* command);
// The overview, with every command's usage line and the exit codes.
std::string OverviewHelp(const CLI::App* root);

// For the checks a command makes of its arguments once they are parsed: prints
// "torvanctl COMMAND: WHAT DETAIL (usage: ...)" on standard error; returns 2.
int UsageError(const char* what, const char* detail);

// Parses the command line. Returns -1 when the command should run (ParsedCommandRun), else
// the exit code to end with: 0 after --help or --version, 2 after a bad argument (reported
// with the command's usage line).
int ParseCommandLine(CLI::App* root, int argc, char** argv);
