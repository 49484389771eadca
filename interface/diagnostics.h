// Why the last failure happened, in one sentence, for the library's own
// tools (the command-line program). Not exported: the DLL keeps its 26
// functions. A failing step notes itself; callers read the note after a
// status of 0.
#pragma once

namespace sadc {

// Notes the reason of a failure, such as "no instrument answered the
// wake-up on COM3". The text is copied (up to 255 bytes).
void NoteFailure(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// The last note, or "" when none was made since ClearFailure.
const char* LastFailure();
void ClearFailure();

} // namespace sadc
