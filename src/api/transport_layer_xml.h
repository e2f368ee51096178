#pragma once
// The transport layer's own GenICam description file:
// $GENICAM_ROOT/xml/TransportLayers/oxa/ZARUSBRegs.xml, read whole.

#include <cstdint>

namespace oxa::ZarUsb {

// *size: in, the buffer's capacity; out, the file's length (0 when
// GENICAM_ROOT is unset). 0, -1 (buffer too small), -7 (no buffer) or -9
// (GENICAM_ROOT unset, or the file cannot be opened).
int32_t ReadTransportLayerXml(void *buffer, uint32_t *size);

} // namespace oxa::ZarUsb
