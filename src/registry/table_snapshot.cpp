#include "registry/table_snapshot.h"

#include "os/named_mutex.h"
#include "os/shared_memory.h"
#include "registry/shared_table.h"

namespace oxa::ZarUsb {

std::vector<ListedCamera> ReadSharedTable() {
  std::vector<ListedCamera> cameras;
  os::NamedMutex mutex;
  os::SharedMemory memory;
  bool existed = false;
  if (mutex.Open(kTableMutexName) != 0 || memory.Open(kTableMappingName, sizeof(SharedTableLayout), &existed) != 0)
    return cameras;
  if (mutex.Acquire() == os::NamedMutex::Lock::Failed) return cameras;
  const auto *table = static_cast<const SharedTableLayout *>(memory.Data());
  for (int32_t index = 0; index < kTableRecords; ++index) {
    const DeviceRecord &record = table->records[index];
    if (!IsPresent(record)) continue;
    cameras.push_back({index,
                       std::string(record.szFriendlyName, FieldLength(record.szFriendlyName, sizeof record.szFriendlyName)),
                       std::string(record.szSerialNumber, FieldLength(record.szSerialNumber, sizeof record.szSerialNumber)),
                       record.dwOwnerProcessId});
  }
  mutex.Release();
  return cameras;
}

} // namespace oxa::ZarUsb
