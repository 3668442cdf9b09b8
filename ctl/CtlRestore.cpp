// torvanctl restore: a board left at the link speed by a program that could not put it back
// (killed, or its link lost) keeps 230400 and CR LF, and is found that way. This finds it and
// ends the connection with the speed and line ending the operator names instead.
#include <cstdio>
#include <string>

#include "ctl/CtlArgs.h"
#include "ctl/CtlCommands.h"
#include "ctl/CtlCommon.h"
#include "device/DeviceClock.h"
#include "device/LegacyBoardUtils.h"

namespace {
struct RestoreOptions {
    std::string Port;
    long Baud = 0;
    std::string Ending = "cr";
};
RestoreOptions Options;
} // namespace

// Opens the port at baud and asks for the line ending (S65): 1 when the board answers there
// with newLine.
static int AnswersAt(const char* port, uint32_t baud, uint32_t newLine, unsigned* heard) {
    uint32_t error = 0;
    ComHandle handle = OpenComPort(port, baud, 'N', 8, 1.0f, &error);
    if (handle == nullptr) {
        return 0;
    }
    char* text = nullptr;
    int count = 0;
    unsigned ending = 0;
    int answered = WriteComStr(handle, "S65\r") == 0 &&
                   GetAsciiResponseWithin(handle, &text, &count, 256, 500) &&
                   sscanf(text, "x%x", &ending) == 1;
    CloseComPort(handle);
    ClearSerialPortErrors();
    if (answered) {
        *heard = ending;
    }
    return answered && ending == newLine;
}

static int RunRestore() {
    const uint32_t baud = (uint32_t)Options.Baud;
    const uint32_t newLine = Options.Ending == "crlf" ? 0xD0A : 0xD;
    const char* port = Options.Port.c_str();
    int code = OpenBoard(port);
    if (code != EXIT_DONE) {
        return code;
    }
    printf("found at: %u, line ending 0x%X\n", (unsigned)GetInitialBaudRate(),
           (unsigned)GetInitialNewLine());
    SetLineSettingsToRestore(baud, newLine);
    // The port stays locked until the board has been heard where it was left.
    DropBoardLink();
    SetRestoring(1);
    unsigned heard = 0;
    int there = 0;
    for (int attempt = 0; attempt < 3 && !there; ++attempt) {
        // The board switches speed only after its reply window.
        DeviceSleepMs(150);
        there = AnswersAt(port, baud, newLine, &heard);
    }
    SetRestoring(0);
    ReleaseBoardPort();
    if (!there) {
        char why[300];
        if (heard != 0) {
            snprintf(why, sizeof why,
                     "the board answers at %u with line ending 0x%X, not 0x%X: it did not take "
                     "the line ending",
                     (unsigned)baud, heard, (unsigned)newLine);
            return Fail(EXIT_OTHER, "%s", why);
        }
        snprintf(why, sizeof why,
                 "no answer at %u after the board was sent there: it did not take the speed "
                 "(probe %s to find it)",
                 (unsigned)baud, port);
        return Fail(EXIT_TIMED_OUT, "%s", why);
    }
    printf("left at: %u, line ending 0x%X\n", (unsigned)baud, (unsigned)newLine);
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
