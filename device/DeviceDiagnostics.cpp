// The device layer's diagnostic lines and the stream they go to.
#include "device/LegacyBoardUtils.h"

#include <atomic>
#include <cstdarg>

namespace {
// Null: standard output, as the window program has always had them.
std::atomic<FILE*> DiagnosticStream{nullptr};
} // namespace

void SetDeviceDiagnosticStream(FILE* stream) {
    DiagnosticStream.store(stream);
}

void DeviceDiagnostic(const char* format, ...) {
    FILE* stream = DiagnosticStream.load();
    va_list args;
    va_start(args, format);
    vfprintf(stream != nullptr ? stream : stdout, format, args);
    va_end(args);
}
