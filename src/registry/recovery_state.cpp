#include "registry/recovery_state.h"

#include <cstring>

namespace oxa::ZarUsb {

RecoveryState &Recovery() {
  static auto *state = new RecoveryState;
  return *state;
}

void ResetRecovery(RecoveryState &state) {
  CancelRecoveryTimer(state);
  state.bSleep = state.bHybernate = 0;
  while (state.nRecoverCount > 0) RemoveRecoverEntry(state, state.nRecoverCount - 1);
}

uint32_t CancelRecoveryTimer(RecoveryState &state) {
  if (state.timer == 0) return 0;
  const uint32_t error = state.timerQueue.Cancel(state.timer);
  state.timer = 0;
  return error;
}

int32_t FindRecoverEntry(const RecoveryState &state, const char *name) {
  for (int32_t position = 0; position < state.nRecoverCount; ++position)
    if (std::strncmp(state.entries[position].szFriendlyName, name, sizeof state.entries[position].szFriendlyName) == 0)
      return position;
  return -1;
}

void RemoveRecoverEntry(RecoveryState &state, int32_t position) {
  for (int32_t next = position + 1; next < state.nRecoverCount; ++next)
    state.entries[next - 1] = std::move(state.entries[next]);
  --state.nRecoverCount;
  state.entries[state.nRecoverCount].pDevice.reset();
  state.entries[state.nRecoverCount].pRaw = nullptr;
}

bool AppendRecoverEntry(RecoveryState &state, const char *name, const std::shared_ptr<CDevice> &device) {
  if (state.nRecoverCount >= kMaxRecoverEntries) return false;
  RecoverEntry &entry = state.entries[state.nRecoverCount];
  std::memcpy(entry.szFriendlyName, name, sizeof entry.szFriendlyName);
  entry.szFriendlyName[sizeof entry.szFriendlyName - 1] = '\0';
  entry.pDevice = device;
  entry.pRaw = device.get();
  ++state.nRecoverCount;
  return true;
}

void ForgetParkedDevice(const CDevice *device) {
  RecoveryState &state = Recovery();
  std::lock_guard<std::mutex> guard(state.lock);
  for (int32_t position = state.nRecoverCount - 1; position >= 0; --position)
    if (state.entries[position].pRaw == device) RemoveRecoverEntry(state, position);
}

} // namespace oxa::ZarUsb
