#pragma once

// The hot-plug monitor: one process of the namespace at a time owns the
// system monitor window and keeps the shared table in step with the cameras;
// every other process's monitor thread waits to take the role over.

namespace oxa::ZarUsb {

// Opens the monitor token and starts UsbSystemMonitorThread (called while
// the shared table opens). False when either fails.
bool StartMonitor();
// Stops the monitor thread and waits until it has left its loop (it finishes
// the scan it is in; it is never ended forcibly, so it never leaves the table
// lock abandoned). processEnding: the process ends and its other threads are
// already gone, so there is nothing to wait for.
void StopMonitorThread(bool processEnding);
// Hands the role on if this process still holds it, and closes the token.
void HandOnMonitorRole();
// 1 once the monitor thread has done its first scan, or at once in a
// process that waits for the role; 0 after about ten seconds.
int WaitForThreadReady();

} // namespace oxa::ZarUsb
