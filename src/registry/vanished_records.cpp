#include "registry/vanished_records.h"

#include <array>
#include <cstring>
#include <mutex>

#include "os/timer_queue.h"
#include "registry/shared_table.h"
#include "trace/trace.h"

namespace oxa::ZarUsb {

namespace {

constexpr uint32_t kSweepMs = 100;

// Never destroyed: the timer's thread may outlive static destruction at exit.
struct Vanished {
  // Guarded by the table lock.
  std::array<bool, kTableRecords> kept{};
  std::array<char[sizeof(DeviceRecord::szDevicePath)], kTableRecords> paths{};
  // The timer, guarded by `lock`. A sweep takes the table lock, never this
  // one while holding it, and the timer is armed with the table lock held:
  // so this lock is always the inner one.
  std::mutex lock;
  os::TimerQueue queue;
  os::TimerQueue::TimerId timer = 0;
  bool stopping = false;
};

Vanished &State() {
  static auto *vanished = new Vanished;
  return *vanished;
}

bool ValidIndex(int32_t index) { return index >= 0 && index < kTableRecords; }

// Under the table lock.
bool AnyKept() {
  for (const bool kept : State().kept)
    if (kept) return true;
  return false;
}

// The timer that ran is released before the sweep, so that a record noted
// meanwhile arms a new one; it is armed again while records remain.
void SweepRoutine(void *) {
  Vanished &state = State();
  {
    std::lock_guard<std::mutex> guard(state.lock);
    state.queue.Cancel(state.timer);
    state.timer = 0;
  }
  SweepVanished();
  ScheduleVanishedSweeps();
}

} // namespace

void NoteVanished(int32_t index) {
  TableLock lock;
  SharedTableLayout *table = SharedTable();
  if (!lock || table == nullptr || !ValidIndex(index)) return;
  const DeviceRecord &record = table->records[index];
  static_assert(sizeof State().paths[0] == sizeof record.szDevicePath);
  std::memcpy(State().paths[index], record.szDevicePath, sizeof record.szDevicePath);
  State().kept[index] = true;
}

bool AnnouncedVanished(int32_t index) {
  TableLock lock;
  SharedTableLayout *table = SharedTable();
  if (!lock || table == nullptr || !ValidIndex(index) || !State().kept[index]) return false;
  const DeviceRecord &record = table->records[index];
  return IsPresent(record) &&
         std::memcmp(record.szDevicePath, State().paths[index], sizeof record.szDevicePath) == 0;
}

void ForgetVanished(int32_t index) {
  TableLock lock;
  if (lock && ValidIndex(index)) State().kept[index] = false;
}

void SweepVanished() {
  TableLock lock;
  SharedTableLayout *table = SharedTable();
  if (!lock || table == nullptr || !AnyKept()) return;
  // The holders that ended without letting go let go now.
  ReclaimEndedProcesses();
  for (int32_t index = 0; index < kTableRecords; ++index) {
    if (!AnnouncedVanished(index)) {
      State().kept[index] = false;
      continue;
    }
    if (table->records[index].dwOwnerProcessId != 0) continue;
    TraceMessage("ZAR=> camera %d let go after it was unplugged: its record is emptied\n", index);
    DeviceRecord copy;
    RemoveDevice(index, &copy);
    State().kept[index] = false;
  }
}

void ScheduleVanishedSweeps() {
  TableLock lock;
  if (!lock || !AnyKept()) return;
  Vanished &state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.timer != 0 || state.stopping || !state.queue.IsOpen()) return;
  if (state.queue.Arm(SweepRoutine, nullptr, kSweepMs, &state.timer) != 0) state.timer = 0;
}

bool StartVanishedSweeps() {
  Vanished &state = State();
  {
    TableLock lock;
    state.kept.fill(false);
  }
  std::lock_guard<std::mutex> guard(state.lock);
  state.stopping = false;
  state.timer = 0;
  return state.queue.Create() == 0;
}

void StopVanishedSweeps() {
  Vanished &state = State();
  {
    std::lock_guard<std::mutex> guard(state.lock);
    state.stopping = true;
  }
  state.queue.Delete();
}

} // namespace oxa::ZarUsb
