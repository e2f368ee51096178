#include "registry/shared_table.h"

#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "driver/driver_interface.h"
#include "os/event.h"
#include "os/named_mutex.h"
#include "os/shared_memory.h"
#include "os/system_info.h"
#include "registry/monitor.h"
#include "trace/trace.h"

namespace oxa::ZarUsb {

namespace {

constexpr uint32_t kOpenAttempts = 10;
constexpr uint32_t kRetryPauseMs = 200;

// Levels of the table lock that the calling thread holds.
thread_local uint32_t t_tableHolds = 0;

// Process-wide; these objects are never destroyed, so that a thread still
// running at exit finds them in place.
struct Table {
  os::NamedMutex mutex;
  os::SharedMemory memory;
  SharedTableLayout *layout = nullptr;
  os::SharedMemory startTimeMemory;
  OwnerStartTimes *startTimes = nullptr;
  uint64_t startTime = 0; // this process's
  std::array<std::shared_ptr<CDriverInterface>, kTableRecords> driverSlots{};
  // Records this process has freed while their driver interface was still
  // pinned: they stay reserved until it goes (DriverRelease). Under the
  // table lock.
  std::array<bool, kTableRecords> leaving{};
};

Table &State() {
  static Table *table = new Table;
  return *table;
}

void EmptyRecord(DeviceRecord &record, uint32_t owner) {
  RecordWord(record.dwOwnerProcessId).store(owner);
  record.szDevicePath[0] = record.szFriendlyName[0] = record.szSerialNumber[0] = '\0';
  record.szModelName[0] = record.szOverrideName[0] = '\0';
  record.dwRegister90Value = 0;
  RecordWord(record.dwFlags).store(0);
}

// The start-time entry beside record or slot `index` (when the memory for
// them could be had), and the writing of this process into it.
OwnerStartTime *RecordStartTime(int32_t index) {
  return State().startTimes != nullptr ? &State().startTimes->records[index] : nullptr;
}
OwnerStartTime *SlotStartTime(int32_t index) {
  return State().startTimes != nullptr ? &State().startTimes->processes[index] : nullptr;
}
void NoteStartTime(OwnerStartTime *entry) {
  if (entry != nullptr) *entry = {os::CurrentProcessId(), 0, State().startTime};
}

// Whether the process that the table names as `processId` has ended. This
// process and the two marks that name no process never have.
bool OwnerEnded(uint32_t processId, const OwnerStartTime *entry) {
  if (processId == 0 || processId == kOwnerRemoved || processId == os::CurrentProcessId()) return false;
  const uint64_t started = entry != nullptr && entry->processId == processId ? entry->startTime : 0;
  return !os::ProcessRunning(processId, started);
}

// Under the table lock: frees the record when its owner has ended.
bool ReclaimRecordIfEnded(DeviceRecord &record) {
  const int32_t index = RecordIndex(&record);
  if (!OwnerEnded(record.dwOwnerProcessId, RecordStartTime(index))) return false;
  TraceMessage("ZAR=> camera %d freed: its process %u has ended\n", index, record.dwOwnerProcessId);
  RecordWord(record.dwOwnerProcessId).store(0);
  return true;
}

// Under the table lock: frees the callback slots of ended processes; true
// when one was freed.
bool ReclaimEndedSlots() {
  bool freed = false;
  for (int32_t index = 0; index < kTableRecords; ++index) {
    CallbackProcessSlot &slot = State().layout->processes[index];
    if (slot.dwProcessId == 0 || !OwnerEnded(slot.dwProcessId, SlotStartTime(index))) continue;
    TraceMessage("ZAR=> process %u withdrawn from the notifications: it has ended\n", slot.dwProcessId);
    slot = {0, 0};
    freed = true;
  }
  return freed;
}

// Under the table lock: removes every mention of a process of this id from
// the table, its reservations and its enrolment.
void WithdrawProcess() {
  const uint32_t self = os::CurrentProcessId();
  for (DeviceRecord &record : State().layout->records)
    if (record.dwOwnerProcessId == self) RecordWord(record.dwOwnerProcessId).store(0);
  for (CallbackProcessSlot &slot : State().layout->processes)
    if (slot.dwProcessId == self) slot = {0, 0};
}

// Destroys a reservation's driver interface, which closes its exclusive
// handle, and only then frees the record when this process has let it go
// meanwhile: whoever finds a record free opens its driver at the first try,
// and no reservation has to wait for a handle that is still being closed.
struct DriverRelease {
  int32_t index;
  void operator()(CDriverInterface *driver) const noexcept {
    delete driver;
    Table &table = State();
    TableLock lock;
    if (!lock || table.layout == nullptr || !table.leaving[index] || table.driverSlots[index] != nullptr) return;
    table.leaving[index] = false;
    DeviceRecord &record = table.layout->records[index];
    if (record.dwOwnerProcessId == os::CurrentProcessId()) RecordWord(record.dwOwnerProcessId).store(0);
  }
};

enum class Attempt { Reserved, Refused, DriverBusy };

// One try under the table lock: the record must be present (under that name,
// when one is given) and free, and its driver is opened without waiting.
Attempt TryReserve(DeviceRecord &record, const char *name, std::shared_ptr<CDriverInterface> *reserved) {
  Table &table = State();
  TableLock lock;
  if (!lock || table.layout == nullptr || !IsPresent(record)) return Attempt::Refused;
  if (name != nullptr && !FieldEquals(record.szFriendlyName, sizeof record.szFriendlyName, name))
    return Attempt::Refused;
  if (record.dwOwnerProcessId != 0 && !ReclaimRecordIfEnded(record)) return Attempt::Refused;
  char path[sizeof record.szDevicePath + 1] = {};
  std::memcpy(path, record.szDevicePath, FieldLength(record.szDevicePath, sizeof record.szDevicePath));
  std::unique_ptr<CDriverInterface> opened(new (std::nothrow) CDriverInterface(path));
  if (opened == nullptr) return Attempt::Refused;
  if (opened->m_dwLastError != 0) return Attempt::DriverBusy;
  const int32_t index = RecordIndex(&record);
  std::shared_ptr<CDriverInterface> driver;
  try {
    driver = std::shared_ptr<CDriverInterface>(opened.release(), DriverRelease{index});
  } catch (const std::bad_alloc &) {
    return Attempt::Refused; // the driver interface went with the failure
  }
  const uint32_t self = os::CurrentProcessId();
  table.leaving[index] = false;
  table.driverSlots[index] = driver;
  RecordWord(record.dwOwnerProcessId).store(self);
  NoteStartTime(RecordStartTime(index));
  TraceMessage("ZAR=> ReserveDevice(%u) Process=%u\n", static_cast<uint32_t>(index), self);
  if (reserved != nullptr) *reserved = std::move(driver);
  return Attempt::Reserved;
}

// A driver that cannot be opened yet (a process that was killed holding it,
// whose handle the system has not closed yet, or a program outside the
// library) is tried again after a pause, with the table lock given back in
// between so that every other table call goes on meanwhile. A caller that
// holds the table lock itself gets one try: it would hold the lock through
// the pauses.
bool Reserve(DeviceRecord *record, const char *name, std::shared_ptr<CDriverInterface> *reserved) {
  TraceMessage("ZAR=> Enter ReserveDevice\n");
  if (record == nullptr) return false;
  const bool mayPause = t_tableHolds == 0;
  for (uint32_t attempt = kOpenAttempts;; --attempt) {
    const Attempt result = TryReserve(*record, name, reserved);
    if (result != Attempt::DriverBusy) return result == Attempt::Reserved;
    TraceMessage("ZAR=> ReserveDevice => failed to instanciate driver : Iter = %u\n", attempt);
    if (attempt == 1 || !mayPause) return false;
    os::Sleep(kRetryPauseMs);
  }
}

// The handles alone: the lock's holds and the records are dealt with before.
void CloseTableHandles() {
  Table &table = State();
  CloseMonitorToken();
  table.layout = nullptr;
  table.memory.Close();
  table.startTimes = nullptr;
  table.startTimeMemory.Close();
  table.mutex.Close();
}

} // namespace

SharedTableLayout *SharedTable() { return State().layout; }

int32_t RecordIndex(const DeviceRecord *record) {
  return static_cast<int32_t>(record - State().layout->records);
}

bool OpenSharedTable() {
  Table &table = State();
  for (auto &slot : table.driverSlots) slot.reset();
  table.leaving.fill(false);
  if (!table.mutex.IsOpen() && table.mutex.Open(kTableMutexName) != 0) return false;
  bool existed = false;
  if (table.memory.Open(kTableMappingName, sizeof(SharedTableLayout), &existed) != 0) {
    CloseSharedTable();
    return false;
  }
  table.layout = static_cast<SharedTableLayout *>(table.memory.Data());
  if (!existed) std::memset(table.layout, 0, sizeof(SharedTableLayout));
  // Without this memory the table goes by process ids alone.
  table.startTime = os::CurrentProcessStartTime();
  bool startTimesExisted = false;
  if (table.startTimeMemory.Open(kOwnerStartTimesName, sizeof(OwnerStartTimes), &startTimesExisted) == 0) {
    table.startTimes = static_cast<OwnerStartTimes *>(table.startTimeMemory.Data());
    if (!startTimesExisted) std::memset(table.startTimes, 0, sizeof(OwnerStartTimes));
  }
  // This process has reserved nothing yet: what the table holds under its
  // id was left by an ended process that had the same id.
  if (existed && LockTable()) {
    WithdrawProcess();
    UnlockTable();
  }
  if (!StartMonitor()) {
    CloseSharedTable();
    return false;
  }
  return true;
}

void CloseSharedTable() {
  Table &table = State();
  // A process that unloads can be notified no more, whatever callbacks its
  // application left registered.
  if (table.layout != nullptr && LockTable()) {
    WithdrawProcess();
    UnlockTable();
  }
  CloseTableHandles();
}

// The other threads were stopped wherever they were, maybe inside the
// runtime's own locks: the first use of a thread-local variable, the heap,
// the trace file's lock. A wait for one of those would never end, so this
// path takes the system's lock and writes the shared memory, and nothing
// else: no thread-local hold count, no trace, no allocation. The lock comes
// abandoned when a dead thread held it; this thread then holds it, and every
// hold it has is given back before the lock is closed.
void AbandonSharedTable() {
  Table &table = State();
  if (table.layout != nullptr && table.mutex.Acquire() != os::NamedMutex::Lock::Failed) {
    WithdrawProcess();
    while (table.mutex.Release()) {
    }
  }
  CloseTableHandles();
}

bool LockTable() {
  switch (State().mutex.Acquire()) {
  case os::NamedMutex::Lock::Acquired:
    ++t_tableHolds;
    return true;
  case os::NamedMutex::Lock::Abandoned:
    TraceMessage("ZAR=> !!! table lock left by a thread that ended: taken over\n");
    ++t_tableHolds;
    return true;
  default:
    return false;
  }
}

void UnlockTable() {
  if (State().mutex.Release() && t_tableHolds > 0) --t_tableHolds;
}

void ReleaseAllTableLocks() {
  while (State().mutex.Release()) {
  }
  t_tableHolds = 0;
}

DeviceRecord *GetPresentRecord(int32_t index) {
  if (index < 0 || index >= kTableRecords) return nullptr;
  TableLock lock;
  if (!lock || State().layout == nullptr) return nullptr;
  DeviceRecord &record = State().layout->records[index];
  return IsPresent(record) ? &record : nullptr;
}

DeviceRecord *GetOwnedRecord(int32_t index) {
  const uint32_t self = os::CurrentProcessId();
  TableLock lock;
  if (!lock) return nullptr;
  DeviceRecord *record = GetPresentRecord(index);
  return record != nullptr && record->dwOwnerProcessId == self ? record : nullptr;
}

uint32_t GetNumPresentDevices() {
  TableLock lock;
  if (!lock || State().layout == nullptr) return 0;
  uint32_t count = 0;
  for (const DeviceRecord &record : State().layout->records)
    if (IsPresent(record)) ++count;
  return count;
}

int32_t GetPresentDeviceName(uint32_t n, char *buffer, uint32_t size) {
  if (n >= static_cast<uint32_t>(kTableRecords)) return -7;
  TableLock lock;
  if (!lock || State().layout == nullptr) return -7;
  uint32_t position = 0;
  for (const DeviceRecord &record : State().layout->records) {
    if (!IsPresent(record)) continue;
    if (position++ != n) continue;
    const size_t length = FieldLength(record.szFriendlyName, sizeof record.szFriendlyName);
    if (buffer == nullptr || size <= length) return -7;
    std::memcpy(buffer, record.szFriendlyName, length);
    buffer[length] = '\0';
    return 0;
  }
  return -7;
}

bool ReserveDevice(DeviceRecord *record) { return Reserve(record, nullptr, nullptr); }

void FreeDevice(DeviceRecord *record) {
  // Declared before the lock: the driver interface, when this was its last
  // pin, goes after the table lock is given back, and frees the record then.
  std::shared_ptr<CDriverInterface> driver;
  TableLock lock;
  if (!lock || record == nullptr) return;
  const int32_t index = RecordIndex(record);
  TraceMessage("ZAR=> Enter FreeDevice(%u) Process=%u\n", static_cast<uint32_t>(index), os::CurrentProcessId());
  driver = std::move(State().driverSlots[index]);
  if (driver != nullptr)
    State().leaving[index] = true;
  else if (!State().leaving[index])
    RecordWord(record->dwOwnerProcessId).store(0);
}

int32_t ReserveDeviceByName(const char *name, int32_t *index) {
  *index = kTableRecords;
  DeviceRecord *found = nullptr;
  {
    TableLock lock;
    if (!lock || State().layout == nullptr || name == nullptr) return -7;
    for (int32_t i = 0; i < kTableRecords && found == nullptr; ++i) {
      DeviceRecord &record = State().layout->records[i];
      if (IsPresent(record) && FieldEquals(record.szFriendlyName, sizeof record.szFriendlyName, name)) {
        *index = i;
        found = &record;
      }
    }
  }
  if (found == nullptr) return -7;
  return Reserve(found, name, nullptr) ? 0 : -4;
}

// On every register request's path: one level of the table lock, not one
// per check.
std::shared_ptr<CDriverInterface> GetDeviceDriver(int32_t index, bool ownedOnly) {
  if (index < 0 || index >= kTableRecords) return nullptr;
  TableLock lock;
  if (!lock || State().layout == nullptr) return nullptr;
  const DeviceRecord &record = State().layout->records[index];
  if (!IsPresent(record) || (ownedOnly && record.dwOwnerProcessId != os::CurrentProcessId())) return nullptr;
  return State().driverSlots[index];
}

// No table lock on a device's register path: an owner word equal to this
// process's id is only ever set by this process (ReserveDevice) and taken away
// by it (FreeDevice, or the end of the driver interface) or by an unplug, which also clears the present flag; no
// other process writes its id there, and another process reclaims a record
// only from an owner that has ended, never from a running one.
// Reading the owner before the flag therefore never answers true for a record
// this process does not hold at some moment of the call, as a locked read would.
bool HoldsRecord(int32_t index) {
  if (index < 0 || index >= kTableRecords) return false;
  SharedTableLayout *layout = State().layout;
  if (layout == nullptr) return false;
  DeviceRecord &record = layout->records[index];
  return RecordWord(record.dwOwnerProcessId).load() == os::CurrentProcessId() &&
         (RecordWord(record.dwFlags).load() & 1) != 0;
}

int32_t ReleaseDevice(int32_t index) {
  TableLock lock;
  DeviceRecord *record = GetOwnedRecord(index);
  if (record == nullptr) return -7;
  if (const auto &driver = State().driverSlots[index]) driver->m_pDevice = nullptr;
  FreeDevice(record);
  return 0;
}

RegisterAccessGrant AcquireRegisterAccess(int32_t index) {
  RegisterAccessGrant grant;
  DeviceRecord *record = nullptr;
  {
    TableLock lock;
    if (!lock) return grant;
    record = GetPresentRecord(index);
    if (record == nullptr) return grant;
    if (record->dwOwnerProcessId == os::CurrentProcessId() && State().driverSlots[index] != nullptr) {
      grant.driver = State().driverSlots[index];
      return grant;
    }
  }
  grant.reservedHere = Reserve(record, nullptr, &grant.driver);
  if (grant.reservedHere) grant.index = index;
  return grant;
}

void ReleaseRegisterAccess(const RegisterAccessGrant &grant) {
  if (grant.index == -1) return;
  TableLock lock;
  if (lock && State().layout != nullptr) FreeDevice(&State().layout->records[grant.index]);
}

bool RemoveDevice(int32_t index, DeviceRecord *copy) {
  TraceMessage("ZAR=> Enter RemoveDevice Index=%d\n", index);
  TableLock lock;
  if (!lock || State().layout == nullptr || index < 0 || index >= kTableRecords) return false;
  DeviceRecord &record = State().layout->records[index];
  *copy = record;
  if (IsPresent(record) && record.dwOwnerProcessId == 0) EmptyRecord(record, 0);
  return true;
}

void RemoveDisconnectedDevice(int32_t index) {
  TraceMessage("ZAR=> Enter RemoveDisconnectedDevice Index=%d\n", index);
  TableLock lock;
  if (!lock || State().layout == nullptr || index < 0 || index >= kTableRecords) return;
  EmptyRecord(State().layout->records[index], kOwnerRemoved);
}

bool RegisterCallbackProcess() {
  TableLock lock;
  if (!lock || State().layout == nullptr) return false;
  const uint32_t self = os::CurrentProcessId();
  const auto find = [&](uint32_t processId) {
    for (int32_t index = 0; index < kTableRecords; ++index)
      if (State().layout->processes[index].dwProcessId == processId) return index;
    return -1;
  };
  int32_t index = find(self);
  if (index < 0) index = find(0);
  if (index < 0 && ReclaimEndedSlots()) index = find(0);
  if (index < 0) return false;
  CallbackProcessSlot &slot = State().layout->processes[index];
  if (slot.dwProcessId != self) NoteStartTime(SlotStartTime(index));
  slot.dwProcessId = self;
  ++slot.dwRefCount;
  return true;
}

bool UnregisterCallbackProcess() {
  TableLock lock;
  if (!lock || State().layout == nullptr) return false;
  const uint32_t self = os::CurrentProcessId();
  for (CallbackProcessSlot &entry : State().layout->processes) {
    if (entry.dwProcessId != self) continue;
    if (entry.dwRefCount > 0) --entry.dwRefCount;
    if (entry.dwRefCount == 0) entry.dwProcessId = 0;
    return true;
  }
  return false;
}

void ReclaimEndedProcesses() {
  TableLock lock;
  if (!lock || State().layout == nullptr) return;
  for (DeviceRecord &record : State().layout->records)
    if (IsPresent(record)) ReclaimRecordIfEnded(record);
  ReclaimEndedSlots();
}

} // namespace oxa::ZarUsb
