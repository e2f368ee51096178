#pragma once
// A camera opened by this process. Its handle is the object's address. It
// reaches its camera's driver through the shared table (the driver of the
// record it reserved), never by a handle of its own.

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "os/critical_section.h"

namespace oxa::ZarUsb {

class CInterface;
class CDataStream;
class CDriverInterface;

class CDevice {
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

  // Camera registers, in requests of at most 48 bytes. *size: in, the bytes
  // asked for; out, the bytes moved.
  int32_t ReadData(uint64_t address, void *buffer, uint64_t *size);
  int32_t WriteData(uint64_t address, const void *buffer, uint64_t *size);
  // Fills the 1024-byte information record; *size: its capacity.
  int32_t GetInfo(void *record, const uint32_t *size);
  // One read or write in the custom-feature space.
  int32_t QueryCustomFeature(const void *request, uint32_t requestSize, void *reply, const uint32_t *replySize);
  // The camera's GenICam description file; see DevGetXml.
  int32_t GetXml(void *buffer, uint32_t *size);

private:
  // The driver of this device's record while this process holds it, pinned
  // for the caller's request; null once the device is closed. The caller
  // holds m_csLock.
  std::shared_ptr<CDriverInterface> Driver();
  template <class Request>
  int32_t Transfer(const char *operation, uint64_t address, uint64_t *size, Request request);

  // Kept alive by the device: an operation still running on a device after
  // the last TLClose finds its interface in place.
  std::shared_ptr<CInterface> m_pInterface;
  std::string m_strName;
  uint32_t m_unIndex; // kClosedIndex once closed
  os::CriticalSection m_csLock;
  std::list<std::unique_ptr<CDataStream>> m_listDataStreams;
};

} // namespace oxa::ZarUsb
