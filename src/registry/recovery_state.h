#pragma once
// What this process keeps while it recovers its open cameras across a
// suspend: the two flags, the list of parked devices waiting for their
// camera, and the one-shot timer that ends the wait 10 s after the resume.
//
// The callback thread (suspend, resume, unplug, plug) and the timer routine
// both work on it. Every decision on it is taken, and the state changed, in
// one hold of `lock`; no application callback ever runs under it (a callback
// may close devices or the transport layer, which takes the lock, and on
// another thread than the one that called it). So neither side ever sees the
// flags, count or list change under it, and neither can deadlock the other.
//
// The state lives from the first use to the end of the process and is never
// destroyed, so no timer that can still fire ever finds it gone. The timer
// queue is made with the first callback thread and deleted at unload, before
// the transport layer goes, waiting for a routine that is running; the end
// of a callback thread (last TLClose) only cancels the timer, since its
// routine may be the very thread that closes.
//
// Lock order: this lock, then a stream's, a device's, the table's (a
// recovery holds the device's streams while it rebinds the device). A
// device's close takes it before any other (ForgetParkedDevice).

#include <cstdint>
#include <memory>
#include <mutex>

#include "os/timer_queue.h"

namespace oxa::ZarUsb {

class CDevice;

// A process holds at most 30 cameras, and a parked device has no driver
// interface left that a second unplug could find.
constexpr int32_t kMaxRecoverEntries = 30;
constexpr uint32_t kRecoveryDelayMs = 10000;

struct RecoverEntry {
  char szFriendlyName[260]; // the camera's friendly name when it was parked
  // Not owned: a device closed meanwhile leaves the list (ForgetParkedDevice).
  // Locked only outside the state's lock, or with the pin declared before
  // the lock's guard: the last pin of a device may close it, which takes
  // the lock.
  std::weak_ptr<CDevice> pDevice;
  const CDevice *pRaw = nullptr; // the same device, for comparisons
};

// Fields guarded by `lock`.
struct RecoveryState {
  std::mutex lock;
  int32_t bSleep = 0;      // between a suspend and the end of the recovery
  int32_t bHybernate = 0;  // a held camera was unplugged while bSleep was set
  int32_t nRecoverCount = 0;
  RecoverEntry entries[kMaxRecoverEntries]; // the first nRecoverCount, in order of parking
  os::TimerQueue timerQueue;                // made by the first callback thread, deleted at unload
  os::TimerQueue::TimerId timer = 0;        // the latest timer armed, 0 when none
};

// The process's one state.
RecoveryState &Recovery();

// Under the lock: back to normal with an empty list and no timer.
void ResetRecovery(RecoveryState &state);
// Under the lock: cancels the timer, if any; the system's error, or 0.
uint32_t CancelRecoveryTimer(RecoveryState &state);
// Under the lock: the position of the entry of that exact name, or -1.
int32_t FindRecoverEntry(const RecoveryState &state, const char *name);
// Under the lock: removes the entry, keeping the order of the others.
void RemoveRecoverEntry(RecoveryState &state, int32_t position);
// Under the lock: appends an entry; false when the list is full.
bool AppendRecoverEntry(RecoveryState &state, const char *name, const std::shared_ptr<CDevice> &device);

// Takes a closing device off the list, so that the timer never reaches it.
// Takes the lock: call it holding no device, stream or table lock.
void ForgetParkedDevice(const CDevice *device);

// The wait after a resume before parked devices count as unplugged:
// kRecoveryDelayMs. A library built for the tests reads the environment
// variable ZAR_USB_TEST_RECOVERY_DELAY_MS instead when it is set.
uint32_t RecoveryDelayMs();

} // namespace oxa::ZarUsb
