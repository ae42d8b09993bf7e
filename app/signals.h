// What mapbake does when a signal ends it: no partial file is left beside a
// target, and a source that shrinks while it is read is reported, not a
// crash.
#pragma once

namespace mapbake {

// Installs the handlers (once; later calls only change the source named):
// SIGINT, SIGTERM and SIGHUP, unless ignored, remove every temporary file
// and then end the program as the signal would have; SIGBUS, which reading
// a mapped source raises when another program has shrunk the file, removes
// them too and exits with status 1 after "Error opening NAME" on standard
// output (when `stdout_message`) and a line saying why on standard error.
void guard_source(const char* name, bool stdout_message) noexcept;

}  // namespace mapbake
