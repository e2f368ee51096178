#pragma once

// The hot-plug monitor: one process of the namespace at a time owns the
// system monitor window and keeps the shared table in step with the cameras;
// every other process's monitor thread waits to take the role over.

namespace oxa::ZarUsb {

// Opens the monitor token and starts UsbSystemMonitorThread (called while
// the shared table opens). False when either fails.
bool StartMonitor();
// Stops the monitor thread and waits, without limit, until it has ended. A
// scan in progress stops before its next camera, so the wait lasts at most
// one camera's opening and reads; the thread is never ended forcibly, so it
// never leaves the table lock abandoned, and nothing it uses goes before it
// ends. The thread gives the role back itself as it ends. processEnding: the
// process ends and its other threads are already gone (their hold on the
// role went with them), so there is nothing to wait for.
void StopMonitorThread(bool processEnding);
// Closes the monitor token (after the thread has ended).
void CloseMonitorToken();
// 1 once the monitor thread has done its first scan, or at once in a
// process that waits for the role; 0 after about ten seconds.
int WaitForThreadReady();

} // namespace oxa::ZarUsb
