#pragma once
// What the platform's loader glue calls as the library is loaded and
// unloaded: DllMain on Windows, a constructor/destructor pair on POSIX. The
// library implements these; the backends only call them.
//
// They run while the loader holds its own lock on Windows: they may start
// and stop threads only in ways that do not wait for the loader.

namespace oxa::ZarUsb {

// The process loaded the library. False refuses the load: Windows fails the
// LoadLibrary; POSIX cannot fail a load, so the library stays inert (every
// export then reports an error).
bool OnProcessAttach();
// A thread of the process starts (Windows only; POSIX reports no thread start).
void OnThreadAttach();
// The process unloads the library, or ends. processEnding: the process ends
// and the system has already ended its other threads (Windows), so nothing
// they held may be waited for.
void OnProcessDetach(bool processEnding);
// A thread of the process ends (Windows reports every thread).
void OnThreadDetach();

} // namespace oxa::ZarUsb
