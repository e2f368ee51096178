#include "registry/enumeration.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "driver/driver_interface.h"
#include "driver/driver_requests.h"
#include "driver/interface_classes.h"
#include "os/device_sources.h"
#include "os/system_info.h"
#include "registry/notification.h"
#include "registry/shared_table.h"
#include "registry/vanished_records.h"
#include "trace/trace.h"
#include "zar_usb.h"

namespace oxa::ZarUsb {

namespace {

constexpr uint32_t kMaxFound = 30;
constexpr uint32_t kMembersPerClass = 30;
constexpr int kOpenAttempts = 10;
constexpr uint32_t kRetryPauseMs = 200;
constexpr uint32_t kScanPauseMs = 100;

// Reads one identity register straight into its field.
bool ReadIdentity(CDriverInterface &driver, uint64_t address, void *field, uint64_t size) {
  uint64_t count = size;
  uint32_t word = 0;
  const uint32_t error = driver.ReadMem(driver::kAccessCamera, address, field, &count, &word);
  if (error == 0 && word == 0) return true;
  TraceMessage("ZAR=> !!! AddDevice Error dwError=%lu, nErrorCode=%d\n", error, static_cast<int32_t>(word));
  return false;
}

void FireAllUsbCallbacks(const std::vector<std::string> &found) {
  TraceMessage("ZAR=> UpdateDevicesList ==> RemoveDisconnectedDevice & FireAllUsbCallbacks\n");
  SharedTableLayout *table = SharedTable();
  std::vector<std::pair<int32_t, DeviceRecord>> removed;
  try {
    removed.reserve(kTableRecords); // no allocation once records are emptied
  } catch (const std::bad_alloc &) {
    return;
  }
  for (int32_t index = 0; index < kTableRecords; ++index) {
    const DeviceRecord &record = table->records[index];
    if (!IsPresent(record)) continue;
    const bool stillThere = std::any_of(found.begin(), found.end(), [&](const std::string &path) {
      return FieldEquals(record.szDevicePath, sizeof record.szDevicePath, path.c_str());
    });
    if (stillThere) {
      ForgetVanished(index);
      continue;
    }
    if (AnnouncedVanished(index)) continue; // announced once, emptied once let go
    DeviceRecord copy;
    if (!RemoveDevice(index, &copy)) continue;
    if (IsPresent(record)) NoteVanished(index); // held: left to its holder
    removed.emplace_back(index, copy);
  }
  for (const auto &[index, copy] : removed) BroadcastEvent(USB_UNPLUGGED_DEVICE, index, copy.szFriendlyName);
  ScheduleVanishedSweeps();
}

} // namespace

void UpdateDevicesList(ScanMode mode, const std::atomic<bool> &stop) {
  TraceMessage("ZAR: Enter UpdateDevicesList\n");
  TableLock lock;
  if (!lock || SharedTable() == nullptr) return;
  os::Sleep(kScanPauseMs);
  // Before any camera is named: a returning camera gets its name back from
  // a record its holder has let go of since.
  if (mode == ScanMode::Rescan) SweepVanished();
  uint32_t found = 0;
  std::vector<std::string> paths;
  bool complete = true;
  for (uint32_t classIndex = 0; classIndex < driver::kInterfaceClassCount && !stop; ++classIndex) {
    std::vector<os::DeviceInterfaceEntry> members;
    try {
      members = os::ListDeviceInterfaces(driver::kInterfaceClasses[classIndex], kMembersPerClass);
    } catch (const std::bad_alloc &) {
      complete = false;
    }
    for (const os::DeviceInterfaceEntry &member : members) {
      if (found >= kMaxFound || stop) break;
      try {
        if (member.error != 0 && !member.detailFailed) {
          TraceMessage("ZAR=> !!! UpdateDevicesList : SetupDiEnumDeviceInterfaces Error=%lu unIndexGID=%lu "
                       "dwCount=%lu dwNbDevicesFound=%lu\n",
                       member.error, classIndex, member.member, found);
          continue;
        }
        TraceMessage("ZAR=> UpdateDevicesList : SetupDiEnumDeviceInterfaces => unIndexGID=%lu dwCount=%lu "
                     "dwNbDevicesFound=%lu\n",
                     classIndex, member.member, found);
        if (member.error != 0) {
          TraceMessage("ZAR=> !!! UpdateDevicesList : SetupDiGetInterfaceDeviceDetail Error=%lu unIndexGID=%lu "
                       "dwCount=%lu dwNbDevicesFound=%lu\n",
                       member.error, classIndex, member.member, found);
          continue;
        }
        int32_t index = -1;
        const int status = InsertDevice(member.path.c_str(), &index);
        if (status == 0) continue;
        if (status == 2) {
          TraceMessage("ZAR: => UpdateDevicesList : InsertDevice %s unIndexGID=%lu dwCount=%lu\n", member.path.c_str(),
                       classIndex, member.member);
          BroadcastEvent(USB_PLUGGED_DEVICE, index, SharedTable()->records[index].szFriendlyName);
        }
        if (mode == ScanMode::Rescan) paths.push_back(member.path);
        ++found;
      } catch (const std::bad_alloc &) {
        complete = false;
      }
    }
  }
  if (mode == ScanMode::Rescan && complete && !stop) FireAllUsbCallbacks(paths);
  TraceMessage("ZAR: Leave UpdateDevicesList dwNbDevicesFound=%lu\n", found);
}

int InsertDevice(const char *path, int32_t *index) {
  TraceMessage("ZAR=> Enter InsertDevice %s\n", path);
  if (path == nullptr || std::strlen(path) >= sizeof(DeviceRecord::szDevicePath)) return 0;
  TableLock lock;
  SharedTableLayout *table = SharedTable();
  if (!lock || table == nullptr) return 0;
  for (const DeviceRecord &record : table->records) {
    if (IsPresent(record) && FieldEquals(record.szDevicePath, sizeof record.szDevicePath, path)) {
      TraceMessage("ZAR=> InsertDevice Device already Referenced\n");
      TraceMessage("ZAR=> Leave InsertDevice eInsertionStatus=%d\n", 1);
      return 1;
    }
  }
  TraceMessage("ZAR=> InsertDevice Device not already Referenced\n");
  *index = -1;
  for (int32_t i = 0; i < kTableRecords && *index < 0; ++i)
    if (!IsPresent(table->records[i])) *index = i;
  if (*index < 0) {
    TraceMessage("ZAR=> !!!InsertDevice GetFreeIndexPos failed\n");
    TraceMessage("ZAR=> Leave InsertDevice eInsertionStatus=%d\n", 0);
    return 0;
  }
  const int status = AddDevice(*index, path) ? 2 : 0;
  TraceMessage("ZAR=> Leave InsertDevice eInsertionStatus=%d\n", status);
  return status;
}

bool AddDevice(int32_t index, const char *path) {
  TraceMessage("ZAR=> Enter AddDevice %s\n", path);
  TableLock lock;
  SharedTableLayout *table = SharedTable();
  if (!lock || table == nullptr) {
    TraceMessage("ZAR=> Leave AddDevice bSuccess=%d\n", 0);
    return false;
  }
  std::unique_ptr<CDriverInterface> driver;
  for (int attempt = kOpenAttempts; attempt >= 1 && !driver; --attempt) {
    driver.reset(new (std::nothrow) CDriverInterface(path));
    if (!driver) break;
    if (driver->m_dwLastError == 0) break;
    driver.reset();
    os::Sleep(kRetryPauseMs);
    TraceMessage("ZAR=> !!! AddDevice => failed to instanciate driver : Iter = %u\n", static_cast<uint32_t>(attempt));
  }
  if (!driver) {
    TraceMessage("ZAR=> Leave AddDevice bSuccess=%d\n", 0);
    return false;
  }
  DeviceRecord &record = table->records[index];
  std::memset(&record, 0, sizeof record);
  if (!ReadIdentity(*driver, 0x60, record.szSerialNumber, sizeof record.szSerialNumber) ||
      !ReadIdentity(*driver, 0x20, record.szModelName, sizeof record.szModelName) ||
      !ReadIdentity(*driver, 0x80, record.szOverrideName, sizeof record.szOverrideName) ||
      !ReadIdentity(*driver, 0x90, &record.dwRegister90Value, sizeof record.dwRegister90Value)) {
    std::memset(&record, 0, sizeof record);
    driver.reset();
    TraceMessage("ZAR=> Leave AddDevice bSuccess=%d\n", 0);
    return false;
  }
  ComputeFriendlyName(record);
  std::memcpy(record.szDevicePath, path, std::strlen(path) + 1);
  RecordWord(record.dwOwnerProcessId).store(0);
  RecordWord(record.dwFlags).store(1);
  TraceMessage("ZAR=> AddDevice ComputeFriendlyName=%s\n", record.szFriendlyName);
  driver.reset();
  TraceMessage("ZAR=> Leave AddDevice bSuccess=%d\n", 1);
  return true;
}

void ComputeFriendlyName(DeviceRecord &record) {
  const bool overridden = record.szOverrideName[0] != '\0';
  const char *base = overridden ? record.szOverrideName : record.szModelName;
  const int baseLength = static_cast<int>(
      FieldLength(base, overridden ? sizeof record.szOverrideName : sizeof record.szModelName));
  const int serialLength = static_cast<int>(FieldLength(record.szSerialNumber, sizeof record.szSerialNumber));
  SharedTableLayout *table = SharedTable();
  for (uint32_t n = 0;; ++n) {
    if (n == 0)
      std::snprintf(record.szFriendlyName, sizeof record.szFriendlyName, "%.*s_#%.*s", baseLength, base, serialLength,
                    record.szSerialNumber);
    else
      std::snprintf(record.szFriendlyName, sizeof record.szFriendlyName, "%.*s_#%.*s_%u", baseLength, base,
                    serialLength, record.szSerialNumber, n);
    const bool taken = std::any_of(std::begin(table->records), std::end(table->records), [&](const DeviceRecord &other) {
      return &other != &record && IsPresent(other) &&
             std::strncmp(other.szFriendlyName, record.szFriendlyName, sizeof record.szFriendlyName) == 0;
    });
    if (!taken) return;
  }
}

} // namespace oxa::ZarUsb
