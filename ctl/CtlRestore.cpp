// torvanctl restore: a board left at the link speed by a program that could not put it back
// (killed, or its link lost) keeps 230400 and CR LF, and is found that way. This finds it and
// ends the connection with the speed and line ending the operator names instead.
#include <cstdio>
#include <string>

#include "ctl/CtlArgs.h"
#include "ctl/CtlCommands.h"
#include "ctl/CtlCommon.h"
#include "device/LegacyBoardUtils.h"

namespace {
struct RestoreOptions {
    std::string Port;
    long Baud = 0;
    std::string Ending = "cr";
};
RestoreOptions Options;
} // namespace

static int RunRestore() {
    const uint32_t newLine = Options.Ending == "crlf" ? 0xD0A : 0xD;
    const char* port = Options.Port.c_str();
    int code = OpenBoard(port);
    if (code != EXIT_DONE) {
        return code;
    }
    printf("found at: %u, line ending 0x%X\n", (unsigned)GetInitialBaudRate(),
           (unsigned)GetInitialNewLine());
    SetLineSettingsToRestore((uint32_t)Options.Baud, newLine);
    CloseBoard();
    printf("left at: %ld, line ending 0x%X\n", Options.Baud, (unsigned)newLine);
    return EXIT_DONE;
}

void DefineRestoreCommand(CLI::App* root) {
    CLI::App* command = AddCommand(
        root, "restore",
        "Puts a board back that a program left at its own 230400 with CR LF (it was killed,\n"
        "or lost the link): finds the board and leaves it at speed N (9600, 19200 or\n"
        "230400) with the line ending given (default cr), instead of the ones it was found\n"
        "with. Prints both.",
        RunRestore);
    command->add_option("PORT", Options.Port, "the board's port: COM5, /dev/ttyUSB0")->required();
    AddWhole(command, "--baud", &Options.Baud, 0, 1000000, "N", "9600, 19200 or 230400")
        ->required()
        ->check(CLI::IsMember({9600L, 19200L, 230400L}));
    AddText(command, "--line-ending", &Options.Ending, "cr|crlf", "cr (the default) or crlf")
        ->check(CLI::IsMember({"cr", "crlf"}));
}
