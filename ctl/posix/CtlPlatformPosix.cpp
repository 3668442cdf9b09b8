#include "ctl/CtlPlatform.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

static volatile sig_atomic_t InterruptFlag = 0;

static void OnInterrupt(int) {
    InterruptFlag = 1;
}

void InstallInterruptHandler() {
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking read returns early so the loops see the flag sooner.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int Interrupted() {
    return InterruptFlag != 0;
}

LogTimestamp CurrentLocalTime() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm local;
    localtime_r(&now.tv_sec, &local);
    LogTimestamp stamp;
    stamp.Year = local.tm_year + 1900;
    stamp.Month = local.tm_mon + 1;
    stamp.Day = local.tm_mday;
    stamp.Hour = local.tm_hour;
    stamp.Minute = local.tm_min;
    stamp.Second = local.tm_sec;
    stamp.Milliseconds = (int)(now.tv_nsec / 1000000);
    return stamp;
}

void TempFolder(char* out, size_t outSize) {
    const char* folder = getenv("TMPDIR");
    snprintf(out, outSize, "%s", folder != nullptr && folder[0] != '\0' ? folder : "/tmp");
}

void Utf8Arguments(int*, char***) {}
