// The debug channel: diagnostic lines the operator never sees (traces of the
// image writers, "MakeImage before!", the ping transcript). Silent unless the
// environment variable FIRMSMITH_DEBUG is set to a non-empty value; then the
// lines go to standard error.
#pragma once

namespace platform {

bool DebugEnabled();
void DebugOutput(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace platform
