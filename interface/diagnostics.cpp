#include "interface/diagnostics.h"

#include <cstdarg>
#include <cstdio>

namespace sadc {
namespace {
char Note[256];
} // namespace

void NoteFailure(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(Note, sizeof Note, format, args);
    va_end(args);
}

const char* LastFailure() { return Note; }

void ClearFailure() { Note[0] = '\0'; }

} // namespace sadc
