#pragma once
// Records of cameras that went from the system while a process held them.
//
// A rescan announces every camera that has gone, but empties only the
// records that nobody holds: a held one is left to its holder, which empties
// it once its callback thread has closed the device. The holder may let go
// first, though: it closes its device as soon as a request fails, before its
// callback thread gets to the notification (which then finds no device of
// that process), or it closes the transport layer with the notification
// still undelivered, or it ends. Nobody would empty the record then, and the
// next rescan would announce the camera a second time and name its return
// "_1". So the monitor owner keeps each held record it announced: it
// announces it no more, and empties it silently as soon as no running
// process holds it, at the start of each rescan and on a timer until then.
// A kept record whose camera path is found again is forgotten. A process
// that takes the monitor role over knows nothing of what its predecessor
// kept: it announces such a record once more.
//
// Monitor owner only. What is kept is guarded by the table lock, which every
// function here takes.

#include <cstdint>

namespace oxa::ZarUsb {

// Keeps the record (present, held, its camera gone) as announced.
void NoteVanished(int32_t index);
// Whether the record is kept as announced, with the device path it had then.
bool AnnouncedVanished(int32_t index);
// Forgets the record (its camera was found again).
void ForgetVanished(int32_t index);
// Empties the kept records that no running process holds any more, and
// forgets those emptied or replaced otherwise.
void SweepVanished();
// Arms the sweep timer while records are kept and it is not armed.
void ScheduleVanishedSweeps();

// On the monitor thread, around its window: Start forgets what an earlier
// term kept and makes the timer's queue; Stop deletes it, waiting for a sweep
// that runs (so call it holding no table lock). Start is false when the
// queue cannot be made; rescans still sweep then.
bool StartVanishedSweeps();
void StopVanishedSweeps();

} // namespace oxa::ZarUsb
