#pragma once
// Keeping the application's open cameras across a suspend: what the
// callback thread does on suspend and resume and on the unplug and plug of
// cameras meanwhile, and the timer routine that ends the wait 10 s after
// the resume. The state and its locking are in registry/recovery_state.h.
//
// A camera that this process holds and that drops off the bus while the
// process sleeps is parked (its device stays open under the same handle);
// when a camera of the same friendly name comes back, the device is bound
// to it, its buffers locked and queued again, and its callbacks hear
// PC_RESTORE_HYBERNATE_MODE. Devices still parked when the timer fires are
// reported unplugged and closed; after a sleep in which no camera was lost,
// every open device hears PC_RESTORE_SLEEP_MODE then.

#include <cstdint>
#include <memory>

namespace oxa::ZarUsb {

class CDevice;

// Transport layer's first open, before its callback thread starts: back to
// normal, and the timer queue made if it is not yet. False (traced) when
// the queue cannot be made; the callback thread is not started then.
bool StartRecovery();
// Once the callback thread has ended (last close): back to normal, the
// timer cancelled. Does not wait for a routine that is running.
void StopRecovery();
// Unload, after the callback thread has ended and while the transport
// layer still exists: deletes the timer queue, waiting for a routine that
// is running.
void CloseRecovery();

// On the callback thread, one message at a time, holding no library lock.
void OnSuspend();
void OnRestore();
// The unplug of a camera whose device this process has open (pinned by the
// caller). True when the process sleeps: the device is then parked (or was
// closing anyway) and nothing is delivered; false when the caller is to
// report and close it as for any unplug.
bool ParkOnUnplug(const std::shared_ptr<CDevice> &device, const char *name);
// The plug of a camera of that friendly name: recovers the parked device of
// that name, if any.
void RecoverOnPlug(const char *name);
// Whether plug and unplug reach the transport-layer callbacks now: not
// while the process sleeps; the first message after the end of a
// hibernation ends it and is not delivered either.
bool DeliversToApplication();

// The timer's routine; context: the recovery state.
void CallBackTimerRoutine(void *context);

} // namespace oxa::ZarUsb
