#pragma once
// A camera's data stream: announced buffers and acquisition.

namespace oxa::ZarUsb {

class CDevice;

class CDataStream {
public:
  explicit CDataStream(CDevice *pDevice) : m_pDevice(pDevice) {}
  virtual ~CDataStream() = default;
  CDataStream(const CDataStream &) = delete;
  CDataStream &operator=(const CDataStream &) = delete;

  CDevice *GetDevice() const { return m_pDevice; }

private:
  CDevice *m_pDevice; // owner, not owned
};

} // namespace oxa::ZarUsb
