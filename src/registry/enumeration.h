#pragma once
// Filling the shared table from the cameras the system reports (and the
// emulated ones, while emulation is on). Runs on the monitor thread of the
// process that owns the monitor role, under the table lock.

#include <atomic>
#include <cstdint>

namespace oxa::ZarUsb {

struct DeviceRecord;

enum class ScanMode {
  Initial, // adds the new cameras, removes none
  Rescan,  // adds the new ones, then removes those that are gone
};

// Stops between two cameras once `stop` is set; a scan stopped part-way, or
// one that ran out of memory, removes nothing (the cameras it did not reach
// were not seen). Out of memory for one camera or class, it goes on with the
// next.
void UpdateDevicesList(ScanMode mode, const std::atomic<bool> &stop);

// 0 not inserted, 1 already in the table, 2 inserted (at *index).
int InsertDevice(const char *path, int32_t *index);
// Opens the camera (ten attempts), reads its identity into record `index`
// and names it; false leaves the record empty.
bool AddDevice(int32_t index, const char *path);
// "%s_#%s" of the override (or model) name and the serial number, with
// "_%u" added while another present record carries the name.
void ComputeFriendlyName(DeviceRecord &record);

} // namespace oxa::ZarUsb
