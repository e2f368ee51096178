// The shared camera table as other processes may leave it: any names,
// paths, flags, owners, owners' start times and enrolment counts. The input
// patches the table that a scan of four emulated cameras left, then drives
// this process's readers of it: listing, name lookup, reservation, register
// access, friendly names, enrolment, reclaiming what ended processes left,
// and a scan of the emulated bus.

#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "fuzz_namespace.h"
#include "os/shared_memory.h"
#include "os/system_info.h"
#include "registry/enumeration.h"
#include "registry/shared_table.h"
#include "registry/table_snapshot.h"

using namespace oxa::ZarUsb;

namespace {

SharedTableLayout g_scanned; // the table after the first scan
std::vector<std::string> g_busPaths;
os::SharedMemory g_startTimes; // this program's own view of the owners' start times

void Check(bool condition) {
  if (!condition) std::abort();
}

bool OnBus(const DeviceRecord &record) {
  for (const std::string &path : g_busPaths)
    if (FieldEquals(record.szDevicePath, sizeof record.szDevicePath, path.c_str())) return true;
  return false;
}

// Reserving a record whose path opens no camera retries for two seconds;
// only records of cameras on the bus are reserved, to keep the pace (a
// record held by an ended process is reserved too, once reclaimed).
bool QuicklyReservable(int32_t index) {
  const DeviceRecord *record = GetPresentRecord(index);
  return record != nullptr && OnBus(*record);
}

void ListNames(FuzzedDataProvider &input) {
  const uint32_t count = GetNumPresentDevices();
  Check(count <= static_cast<uint32_t>(kTableRecords));
  for (uint32_t n = 0; n <= count; ++n) {
    char name[300];
    std::memset(name, 'x', sizeof name);
    const auto size = input.ConsumeIntegralInRange<uint32_t>(0, sizeof name);
    if (GetPresentDeviceName(n, name, size) == 0) Check(std::memchr(name, '\0', size) != nullptr);
  }
  for (const ListedCamera &camera : ReadSharedTable()) {
    Check(camera.friendlyName.size() < sizeof(DeviceRecord::szFriendlyName) + 1);
    Check(camera.serialNumber.size() <= sizeof(DeviceRecord::szSerialNumber));
  }
}

void ReserveByName(FuzzedDataProvider &input) {
  std::string name = input.ConsumeRandomLengthString(300);
  const auto pick = input.ConsumeIntegralInRange<int32_t>(0, kTableRecords - 1);
  if (input.ConsumeBool()) {
    const DeviceRecord &record = SharedTable()->records[pick];
    name.assign(record.szFriendlyName, FieldLength(record.szFriendlyName, sizeof record.szFriendlyName));
  }
  for (int32_t i = 0; i < kTableRecords; ++i) {
    const DeviceRecord &record = SharedTable()->records[i];
    if (!IsPresent(record) || !FieldEquals(record.szFriendlyName, sizeof record.szFriendlyName, name.c_str())) continue;
    if (!QuicklyReservable(i)) return;
    break;
  }
  int32_t index = -1;
  if (ReserveDeviceByName(name.c_str(), &index) == 0) {
    Check(index >= 0 && index < kTableRecords && GetDeviceDriver(index, true) != nullptr);
    Check(ReleaseDevice(index) == 0);
  }
}

void AccessRegisters(FuzzedDataProvider &input) {
  const auto index = input.ConsumeIntegralInRange<int32_t>(-2, kTableRecords + 1);
  if (index >= 0 && index < kTableRecords && !QuicklyReservable(index)) return;
  GetOwnedRecord(index);
  GetDeviceDriver(index, input.ConsumeBool());
  const RegisterAccessGrant grant = AcquireRegisterAccess(index);
  ReleaseRegisterAccess(grant);
  if (input.ConsumeBool()) ReleaseDevice(index);
}

void NameRecord(FuzzedDataProvider &input) {
  DeviceRecord &record = SharedTable()->records[input.ConsumeIntegralInRange<int32_t>(0, kTableRecords - 1)];
  ComputeFriendlyName(record);
  Check(std::memchr(record.szFriendlyName, '\0', sizeof record.szFriendlyName) != nullptr);
  for (const DeviceRecord &other : SharedTable()->records)
    Check(&other == &record || !IsPresent(other) ||
          std::strncmp(other.szFriendlyName, record.szFriendlyName, sizeof record.szFriendlyName) != 0);
}

// Enrolment over slots that other processes filled: each registration is
// withdrawn again.
void Enrol(FuzzedDataProvider &input) {
  const auto times = input.ConsumeIntegralInRange<int>(1, 3);
  int registered = 0;
  for (int i = 0; i < times; ++i) registered += RegisterCallbackProcess() ? 1 : 0;
  for (int i = 0; i < registered; ++i) Check(UnregisterCallbackProcess());
}

// A record that names this process, which runs, is never taken from it.
void Reclaim() {
  const uint32_t self = os::CurrentProcessId();
  std::vector<int32_t> mine;
  for (int32_t i = 0; i < kTableRecords; ++i)
    if (IsPresent(SharedTable()->records[i]) && SharedTable()->records[i].dwOwnerProcessId == self) mine.push_back(i);
  ReclaimEndedProcesses();
  for (int32_t index : mine) Check(SharedTable()->records[index].dwOwnerProcessId == self);
}

void Scan(FuzzedDataProvider &input) {
  const bool rescan = input.ConsumeBool();
  static const std::atomic<bool> kNeverStop{false};
  UpdateDevicesList(rescan ? ScanMode::Rescan : ScanMode::Initial, kNeverStop);
  // A rescan removes every free record whose camera is gone.
  for (const DeviceRecord &record : SharedTable()->records)
    if (rescan && IsPresent(record) && record.dwOwnerProcessId == 0) Check(OnBus(record));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  zar_fuzz::IsolatedNamespace();
  os::SetEnv("ZAR_USB_EMULATION", "4");
  if (!zar_fuzz::LoadStillLibrary()) std::abort();
  for (const emulator::PluggedCamera &camera : emulator::ListCameras()) g_busPaths.push_back(camera.path);
  bool existed = false;
  if (g_startTimes.Open(kOwnerStartTimesName, sizeof(OwnerStartTimes), &existed) != 0) std::abort();
  TableLock lock;
  g_scanned = *SharedTable();
  Check(GetNumPresentDevices() == 4);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  SharedTableLayout &table = *SharedTable();
  {
    TableLock lock;
    table = g_scanned;
    auto *startTimes = static_cast<uint8_t *>(g_startTimes.Data());
    std::memset(startTimes, 0, sizeof(OwnerStartTimes));
    // Patches land in the table or, past its end, in the start times.
    for (auto patches = input.ConsumeIntegralInRange<int>(0, 16); patches > 0; --patches) {
      const auto offset = input.ConsumeIntegralInRange<size_t>(0, sizeof table + sizeof(OwnerStartTimes) - 1);
      const std::string patch = input.ConsumeRandomLengthString(64);
      const bool inTable = offset < sizeof table;
      uint8_t *area = inTable ? reinterpret_cast<uint8_t *>(&table) : startTimes;
      const size_t start = inTable ? offset : offset - sizeof table;
      const size_t size = inTable ? sizeof table : sizeof(OwnerStartTimes);
      std::memcpy(area + start, patch.data(), std::min(patch.size(), size - start));
    }
  }
  // A scan pauses 100 ms for the system to settle: one per input at most.
  bool scanned = false;
  while (input.remaining_bytes() > 0) {
    switch (input.ConsumeIntegralInRange<int>(0, 6)) {
    case 0: ListNames(input); break;
    case 1: ReserveByName(input); break;
    case 2: AccessRegisters(input); break;
    case 3: NameRecord(input); break;
    case 4:
      if (!scanned) Scan(input);
      scanned = true;
      break;
    case 5: Enrol(input); break;
    case 6: Reclaim(); break;
    }
  }
  return 0;
}
