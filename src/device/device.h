#pragma once
// A camera opened by this process. Its handle is the object's address. It
// reaches its camera's driver through the shared table (the driver of the
// record it reserved), never by a handle of its own.

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "driver/driver_interface.h"
#include "os/critical_section.h"
#include "zar_usb.h"

namespace oxa::ZarUsb {

class CInterface;
class CDataStream;
class CDriverInterface;
class CThreadEvent;

class CDevice : public CDriverUser {
public:
  // unIndex: the camera's record in the shared table, reserved by this
  // process. Links the record's driver back to this device.
  CDevice(std::shared_ptr<CInterface> pInterface, std::string name, uint32_t unIndex);
  // Closes the device if that has not happened yet.
  virtual ~CDevice();
  CDevice(const CDevice &) = delete;
  CDevice &operator=(const CDevice &) = delete;

  // Ends this device's use of its camera: destroys its data streams and gives
  // its reservation back, after the calls in flight on it have ended; later
  // calls find no driver (-6). Blocks at most as long as those calls (each
  // bounded by the driver's request wait); a thread that is itself inside a
  // call on this device goes straight through. Any thread; idempotent.
  void Close();

  CInterface *GetInterface();
  uint32_t GetIndex();
  std::string GetName();
  // True when handle is this device's data stream.
  bool HasDataStream(const void *handle);
  // The data stream whose handle this is, pinned for the caller's work; null
  // for any other value.
  std::shared_ptr<CDataStream> PinDataStream(const void *handle);

  // Device callbacks: one entry per function, called in ascending order of
  // the functions' addresses. A null function is refused (-7).
  int32_t SetCallback(ZAR_CALLBACK pfn, void *pContext);
  int32_t RemoveCallback(ZAR_CALLBACK pfn);
  // Calls every registered callback with the event, on the calling thread,
  // with no lock held: a callback may call into the library, even close this
  // device. Returns 0.
  int32_t FireCallback(uint32_t event, void *pData, int32_t length);

  // The data stream of channel 0 (at most one at a time).
  int32_t CreateDataStream(uint32_t channel, ZAR_DS_HANDLE *pHandle);
  // Unlinks the stream and closes it: 0, or -6 when it is not this device's.
  int32_t DeleteDataStream(CDataStream *stream);
  // Parks the device while its camera is away across a suspend: it gives
  // its record and the record's driver interface back (the driver handle
  // closes) and stays open with its callbacks and streams, answering every
  // call that needs the camera with -6 until RecoverFromHybernate binds it
  // again. False when the device is closing or closed, or not bound.
  bool Park();
  bool IsParked();
  // Binds a parked device to its camera's new table record, which this
  // process has just reserved, and locks its streams' buffers again there:
  // 0; -6 when the device is not parked or the record has no driver
  // interface (the device then stays parked, its streams untouched); or a
  // stream's error (the device is bound, the later streams not relocked).
  int32_t RecoverFromHybernate(uint32_t newIndex);

  // The driver of this device's record while this process holds it and the
  // camera is present, pinned for an operation that runs without the device
  // lock (a data stream's); null once the device is closed or the camera
  // gone. Takes the device lock for a moment, never the table lock.
  std::shared_ptr<CDriverInterface> PinDriver();

  // Camera registers, in requests of at most 48 bytes. *size: in, the bytes
  // asked for; out, the bytes moved. The caller holds a call pin on the
  // device (OpenDevices::Pin), which keeps the driver they use: they take no
  // device lock.
  int32_t ReadData(uint64_t address, void *buffer, uint64_t *size);
  int32_t WriteData(uint64_t address, const void *buffer, uint64_t *size);
  // Fills the 1024-byte information record; *size: its capacity.
  int32_t GetInfo(void *record, const uint32_t *size);
  // One read or write in the custom-feature space.
  int32_t QueryCustomFeature(const void *request, uint32_t requestSize, void *reply, const uint32_t *replySize);
  // The camera's GenICam description file; see DevGetXml.
  int32_t GetXml(void *buffer, uint32_t *size);

private:
  bool HasOwner() override;
  void DeleteThroughOwner() override;
  std::shared_ptr<CDataStream> AddDataStream();
  // A new event thread for the device's current record; null when out of
  // memory.
  std::unique_ptr<CThreadEvent> MakeThreadEvent();
  // Under m_csLock: the index becomes `state` (closed or parked) and the
  // reservation this device made is given back; its driver pin moves to
  // *pinned, for the caller to drop once it holds no lock.
  void LeaveRecord(uint32_t state, std::shared_ptr<CDriverInterface> *pinned);
  // The driver of this device's record while this process holds it and the
  // camera is present; null once the device is closed or the camera gone.
  // The caller holds m_csLock, which keeps the driver pinned until it leaves.
  CDriverInterface *Driver();
  // The same for a register call, which holds a call pin instead of the lock.
  CDriverInterface *RegisterDriver();
  // Hides the driver from register calls that start from now on and waits
  // for those in flight to end (OpenDevices::DrainCalls); called without
  // m_csLock, before the driver is given back.
  void DrainRegisterCalls();
  template <class Request>
  int32_t Transfer(const char *operation, uint64_t address, uint64_t *size, Request request);

  // Kept alive by the device: an operation still running on a device after
  // the last TLClose finds its interface in place.
  std::shared_ptr<CInterface> m_pInterface;
  std::string m_strName;
  // kClosedIndex once closed, kParkedIndex while parked; written under
  // m_csLock, read without it by register calls.
  std::atomic<uint32_t> m_unIndex;
  bool m_bClosing = false; // set first thing by Close, under m_csLock
  // The driver of the record this device reserved, pinned from its opening to
  // its close; set and dropped under m_csLock.
  std::shared_ptr<CDriverInterface> m_pDriver;
  // m_pDriver's object for register calls; null while parked or closed. Set
  // after m_unIndex, cleared before m_pDriver is dropped (DrainRegisterCalls).
  std::atomic<CDriverInterface *> m_pRegisterDriver{nullptr};
  os::CriticalSection m_csLock;
  // The device event thread; null once closed, or when it could not be made.
  // Taken out under m_csLock and destroyed outside it: its callbacks may call
  // into this device.
  std::unique_ptr<CThreadEvent> m_pThreadEvent;
  // Streams are shared with the exports working on them; a closed stream
  // goes when the last of those returns.
  std::list<std::shared_ptr<CDataStream>> m_listDataStreams;
  // Guarded by m_CallbackLock alone, taken for no more than a copy or a
  // change, never while a callback runs: delivery walks a copy.
  std::map<ZAR_CALLBACK, void *> m_mapCallbacks;
  os::CriticalSection m_CallbackLock;
};

} // namespace oxa::ZarUsb
