#pragma once
// The process's part in the cross-process camera table.

namespace oxa::ZarUsb {

// At load: opens (or creates) the shared camera table and starts the hot-plug
// monitor. False refuses the load.
bool OpenSharedTable();
// At unload: stops the hot-plug monitor and closes the table.
void CloseSharedTable();
// Gives back every hold the calling thread still has on the table's
// cross-process lock (a thread ends, or the process unloads).
void ReleaseAllTableLocks();

// Enrols the process for cross-process plug and unplug notifications: one
// count per registered transport-layer callback. False when the process
// cannot be enrolled.
bool RegisterCallbackProcess();
// Takes back one count; false when the process is not enrolled.
bool UnregisterCallbackProcess();

} // namespace oxa::ZarUsb
