#include "registry/notification.h"

#include "registry/shared_table.h"

namespace oxa::ZarUsb {

// Held under the table lock so that broadcasts never interleave. Processes
// serve no notification pipe yet: they learn of changes from the table.
void BroadcastEvent(uint32_t, int32_t, const char *) { TableLock lock; }

} // namespace oxa::ZarUsb
