#pragma once
// The camera table that every process of the namespace shares: 30 camera
// records and 30 callback-process entries in named shared memory, guarded by
// one recursive cross-process lock, plus this process's driver interfaces
// for the records it has reserved (DriverSlots).
//
// Driver lifetime: a slot holds its driver interface by shared pointer and
// every lookup hands out another one, so each request pins the driver it
// uses for its duration. Freeing a record empties the slot; the driver
// interface (and its exclusive handle) goes when the last pin is dropped,
// which is bounded by the longest request wait, and the record stays
// reserved to this process until then: a record that the table shows free
// has no handle open on its driver, so a reservation never has to wait for
// one. No thread ever sends a request through a freed driver interface,
// whichever handle it came from.
//
// Locking: every operation takes the table lock for its whole duration and
// gives it back before returning; they nest (the lock is recursive). The
// one exception is a reservation whose driver cannot be opened yet: it
// pauses between its tries with the lock given back (see ReserveDevice). A lock
// left by a thread or process that ended while holding it is taken over: the
// operation goes on, so one crash never locks the others out of the table.
// Record pointers point into the shared memory and stay valid while the
// table is open; read them under the lock. The exception is HoldsRecord,
// which reads a record's owner and flag words without it; those two words
// are therefore always written with RecordWord stores.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace oxa::ZarUsb {

class CDriverInterface;

constexpr int32_t kTableRecords = 30;
constexpr uint32_t kOwnerRemoved = 0xFFFFFFFFu;

// Names of the table's lock and memory, shared by every process.
constexpr const char *kTableMutexName = "A8E5C897-286A-42d5-A004-522A9352D2B0";
constexpr const char *kTableMappingName = "5A2FBD90-6CFB-4510-AFC3-A24F8CA6D736";
// Beside the table, in memory of its own: when the processes that the table
// names started (see OwnerStartTimes).
constexpr const char *kOwnerStartTimesName = "5A2FBD90-6CFB-4510-AFC3-A24F8CA6D736-owners";

struct DeviceRecord {
  char szDevicePath[260];
  char szFriendlyName[260];
  char szSerialNumber[32];
  char szModelName[32];
  char szOverrideName[16];
  uint32_t dwOwnerProcessId; // 0 free; kOwnerRemoved after an unplug while reserved
  uint32_t dwFlags;          // bit 0: present
  uint32_t dwRegister90Value;
};

struct CallbackProcessSlot {
  uint32_t dwProcessId; // 0: free
  uint32_t dwRefCount;
};

struct SharedTableLayout {
  DeviceRecord records[kTableRecords];
  CallbackProcessSlot processes[kTableRecords];
};

static_assert(sizeof(DeviceRecord) == 612);
static_assert(offsetof(DeviceRecord, szFriendlyName) == 260);
static_assert(offsetof(DeviceRecord, szSerialNumber) == 520);
static_assert(offsetof(DeviceRecord, szModelName) == 552);
static_assert(offsetof(DeviceRecord, szOverrideName) == 584);
static_assert(offsetof(DeviceRecord, dwOwnerProcessId) == 600);
static_assert(offsetof(DeviceRecord, dwFlags) == 604);
static_assert(offsetof(DeviceRecord, dwRegister90Value) == 608);
static_assert(sizeof(CallbackProcessSlot) == 8);
static_assert(offsetof(SharedTableLayout, processes) == 18360);
static_assert(sizeof(SharedTableLayout) == 18600);

// The table names processes by id alone, and the system gives an id again
// once its process has ended. Each process that writes its id into a record
// or a callback slot also writes its start time into the entry of the same
// position here, so that an ended owner is told apart from a later process
// with its id. An entry whose id differs from the table's (written by a
// library that keeps no start times) leaves the id alone to go by.
struct OwnerStartTime {
  uint32_t processId;
  uint32_t reserved;
  uint64_t startTime; // 0: unknown
};

struct OwnerStartTimes {
  OwnerStartTime records[kTableRecords];
  OwnerStartTime processes[kTableRecords];
};

static_assert(sizeof(OwnerStartTimes) == 960);

// At load: opens (or creates, zeroed) the table, its lock and the monitor
// token, and starts the monitor thread. False refuses the load.
bool OpenSharedTable();
// At unload, after the monitor thread stopped: hands the monitor role on and
// closes everything.
void CloseSharedTable();
// The process ends with its other threads already gone (Windows): frees the
// records this process reserved, without touching objects that dead threads
// may have been using, and hands the monitor role on.
void AbandonSharedTable();

// Takes the table lock, waiting without limit; true when taken (also when it
// was taken over from an ended holder). UnlockTable gives one level back.
bool LockTable();
void UnlockTable();
// Gives back every level of the table lock that the calling thread holds.
void ReleaseAllTableLocks();

// Holds the table lock for a scope.
class TableLock {
public:
  TableLock() : m_locked(LockTable()) {}
  ~TableLock() {
    if (m_locked) UnlockTable();
  }
  TableLock(const TableLock &) = delete;
  TableLock &operator=(const TableLock &) = delete;
  explicit operator bool() const { return m_locked; }

private:
  bool m_locked;
};

// The shared records themselves; null when the table is not open.
SharedTableLayout *SharedTable();

DeviceRecord *GetPresentRecord(int32_t index);
DeviceRecord *GetOwnedRecord(int32_t index);
uint32_t GetNumPresentDevices();
// Copies the friendly name of the n-th present camera: 0, or -7.
int32_t GetPresentDeviceName(uint32_t n, char *buffer, uint32_t size);
// Reserves a present, free record for this process and opens its driver. A
// driver that refuses the open is tried 10 times, 200 ms apart, without the
// table lock between the tries; a caller that holds the table lock gets one
// try. True when reserved.
bool ReserveDevice(DeviceRecord *record);
// Empties this process's slot of the record; the record is free once the
// slot's driver interface has gone (at once, unless a request still pins it).
void FreeDevice(DeviceRecord *record);
// 0 and the index, -7 (no such name) or -4 (cannot be reserved); reserves as
// ReserveDevice does, as long as the record carries the name.
int32_t ReserveDeviceByName(const char *name, int32_t *index);
// The driver interface of this process's reservation of the record, pinned:
// it lives as long as the caller holds it, even when the reservation is
// released meanwhile. Null when there is none.
std::shared_ptr<CDriverInterface> GetDeviceDriver(int32_t index, bool ownedOnly);
// Whether this process holds the record and its camera is present, read
// without the table lock (see its definition); for the calls of a device
// that keeps its own pin on the record's driver.
bool HoldsRecord(int32_t index);
// Frees this process's reservation of the record: 0, or -7 when it holds none.
// The slot's driver interface goes when the last request that pinned it ends.
int32_t ReleaseDevice(int32_t index);

// A driver for one register access, pinned for the grant's life.
struct RegisterAccessGrant {
  std::shared_ptr<CDriverInterface> driver;
  int32_t index = -1; // reserved for this access, to be freed again
  bool reservedHere = false;
};
RegisterAccessGrant AcquireRegisterAccess(int32_t index);
void ReleaseRegisterAccess(const RegisterAccessGrant &grant);

bool RemoveDevice(int32_t index, DeviceRecord *copy);
void RemoveDisconnectedDevice(int32_t index);

// Enrolment for cross-process notifications (one count per registration).
// Registering reclaims the slots of ended processes when none is free.
bool RegisterCallbackProcess();
bool UnregisterCallbackProcess();

// Frees the records reserved by processes that no longer run and the
// callback slots of those processes (a crash or a kill leaves them behind),
// so that their cameras can be opened and their slots used again. Runs at
// TLOpen and before each scan of the monitor owner; a reservation of a
// camera that an ended process holds does the same for that camera. Takes
// the table lock.
void ReclaimEndedProcesses();

// The index of a record of the table.
int32_t RecordIndex(const DeviceRecord *record);

inline bool IsPresent(const DeviceRecord &record) { return (record.dwFlags & 1) != 0; }

// Atomic access to a record's owner or flag word, which HoldsRecord reads
// without the table lock.
inline std::atomic_ref<uint32_t> RecordWord(uint32_t &word) { return std::atomic_ref<uint32_t>(word); }
static_assert(std::atomic_ref<uint32_t>::required_alignment <= alignof(DeviceRecord));

// A text field of a record, which the camera may have filled to its end
// without a terminator: its length within the field.
inline size_t FieldLength(const char *field, size_t size) {
  size_t length = 0;
  while (length < size && field[length] != '\0') ++length;
  return length;
}

// Whether the field holds exactly the text (same length, same bytes).
inline bool FieldEquals(const char *field, size_t size, const char *text) {
  const size_t length = FieldLength(field, size);
  return std::strlen(text) == length && std::memcmp(field, text, length) == 0;
}

} // namespace oxa::ZarUsb
