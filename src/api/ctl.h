#pragma once
// The transport layer of the process: one object from load to unload. Its
// address is the TL handle.

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "os/critical_section.h"
#include "registry/closes_in_progress.h"
#include "zar_usb.h"

namespace oxa::ZarUsb {

class CErrors;
class CInterface;
class CDevice;

class CTL {
public:
  CTL();
  // Performs the last-close teardown when the transport layer is still open.
  virtual ~CTL();
  CTL(const CTL &) = delete;
  CTL &operator=(const CTL &) = delete;

  // open: count one more open (the first creates the error table and the
  // interface "USB"). close: count one less (the last destroys them, and with
  // the interface every device, stream and buffer still open).
  void Initialize(bool open);
  // TLOpen's work: first frees what ended processes left in the shared
  // table, then enrols the process once more for notifications (registering
  // NullCallback as TLSetCallback does, with its trace) and counts one more
  // open. -6 when the enrolment fails, and then nothing has changed.
  ZAR_STATUS Open();
  // TLClose's work: withdraws one enrolment (with TLRemoveCallback's trace)
  // and counts one open less; the last close also drops NullCallback. So the
  // process is enrolled once per open, whatever the nesting, and not at all
  // once closed.
  void Close();
  // The part of the last close that runs without the CTL lock: waits for
  // the callback thread to end (once the notification it is handling is
  // done: the teardown dropped the others) and destroys the devices that
  // were still open. A callback running on that thread may call back into the library
  // (even close the transport layer), and destroying a device waits for its
  // event thread, whose callbacks may do the same: neither may find the CTL
  // lock held by the thread that waits for it. Called by TLClose and at
  // unload, holding no library lock.
  void FinishClose();

  // The TL handle check (devices and streams: OpenDevices). It only
  // compares addresses, so any value, garbage included, is safe to pass.
  bool IsValidHandle(const void *handle);
  // Every open device of every interface, pinned.
  std::list<std::shared_ptr<CDevice>> PinOpenDevices();

  // The interface of that name, created when missing; null when out of memory.
  std::shared_ptr<CInterface> FindOrCreateInterface(const std::string &name);
  // Exact, case-sensitive lookup; stores the interface when pInterface is set.
  bool FindInterface(const char *name, std::shared_ptr<CInterface> *pInterface);
  // The CTL lock, for exports whose whole work runs under it.
  os::CriticalSection &Lock() { return m_Lock; }

  uint32_t GetNumInterfaces();
  ZAR_STATUS GetInterfaceName(uint32_t index, char *buffer, uint32_t size);
  // The text of a status code, or null (unknown code, or the table is gone).
  const char *GetErrorText(int32_t code);

  // Transport-layer callbacks, one entry per function, ordered by address.
  ZAR_STATUS SetCallback(ZAR_CALLBACK pfn, void *pContext);
  ZAR_STATUS RemoveCallback(ZAR_CALLBACK pfn);
  // Calls every transport-layer callback with the event, name and size, in
  // order of their addresses, on the calling thread (the callback thread).
  // Always 0.
  int32_t FireCallbacks(uint32_t event, void *pName, int64_t size);

private:
  void LastCloseTeardown();
  // Gives back one enrolment of Open; the last one drops NullCallback too.
  void WithdrawOpen(bool last);

  uint32_t m_nOpenCount = 0;
  std::unique_ptr<CErrors> m_pErrors;
  // Guarded by m_CallbackLock, not m_Lock: callbacks are delivered from a copy
  // taken under it, so no library lock is held while an application callback
  // runs and registering from inside a callback cannot deadlock.
  std::map<ZAR_CALLBACK, void *> m_Callbacks;
  os::CriticalSection m_CallbackLock;
  os::CriticalSection m_Lock;
  std::list<std::shared_ptr<CInterface>> m_Interfaces;
  // Interfaces of a last close, left for FinishClose to destroy.
  std::list<std::shared_ptr<CInterface>> m_ClosedInterfaces;
  // Counts that close from its teardown to FinishClose's end; under m_Lock.
  CloseInProgress m_Closing = NoCloseInProgress();
};

// The one transport layer of the process; null when the library refused to
// load (POSIX cannot fail a load).
extern CTL *g_pTL;

// The library's own do-nothing callback that keeps an open process enrolled.
void NullCallback(uint32_t event, void *pData, int64_t size, void *pContext);

} // namespace oxa::ZarUsb
