// The library's own functions (GCInitLib, GCCloseLib, GCGetLastError), the
// handle table, errors and info answers.

#include "producer.h"

#include <cstring>
#include <unordered_map>

namespace zar_gentl {

namespace {

struct LastError {
  GC_ERROR code = GC_ERR_SUCCESS;
  std::string text = "no error";
};
thread_local LastError lastError;

// Never destroyed: modules left open when the process ends (a stream's
// deliverer thread among them) stay as they are.
std::mutex &handlesLock = *new std::mutex;
std::unordered_map<const void *, std::shared_ptr<Module>> &handles =
    *new std::unordered_map<const void *, std::shared_ptr<Module>>;
std::atomic<uint64_t> handlesRemoved{0}; // removals so far

std::mutex initLock;
std::atomic<bool> initialized{false};

const char *LibraryErrorName(int32_t status) {
  switch (status) {
  case kLibInvalidBufferSize: return "invalid buffer size";
  case kLibInvalidHandle: return "invalid handle";
  case kLibInvalidId: return "invalid ID";
  case kLibAccessDenied: return "access denied";
  case kLibNoData: return "no data";
  case kLibGeneral: return "general error";
  case kLibInvalidParameter: return "invalid parameter";
  case kLibTimeout: return "timeout";
  case kLibInvalidFilename: return "invalid file name";
  case kLibInvalidAddress: return "invalid address";
  case kLibFileIo: return "file I/O error";
  default: return "unknown error";
  }
}

} // namespace

GC_ERROR Fail(GC_ERROR code, const std::string &text) {
  lastError.code = code;
  lastError.text = text;
  return code;
}

GC_ERROR FromLibrary(int32_t status, const char *what) {
  GC_ERROR code;
  switch (status) {
  case kLibSuccess: return GC_ERR_SUCCESS;
  case kLibInvalidBufferSize: code = GC_ERR_BUFFER_TOO_SMALL; break;
  case kLibInvalidHandle: code = GC_ERR_INVALID_HANDLE; break;
  case kLibInvalidId: code = GC_ERR_INVALID_ID; break;
  case kLibAccessDenied: code = GC_ERR_ACCESS_DENIED; break;
  case kLibNoData: code = GC_ERR_NO_DATA; break;
  case kLibInvalidParameter: code = GC_ERR_INVALID_PARAMETER; break;
  case kLibTimeout: code = GC_ERR_TIMEOUT; break;
  case kLibInvalidFilename: code = GC_ERR_NOT_AVAILABLE; break;
  case kLibInvalidAddress: code = GC_ERR_INVALID_ADDRESS; break;
  case kLibFileIo: code = GC_ERR_IO; break;
  default: code = GC_ERR_ERROR; break;
  }
  return Fail(code, std::string(what) + ": ZAR_USB " + LibraryErrorName(status) + " (" + std::to_string(status) + ")");
}

GC_ERROR AnswerBytes(const void *data, size_t size, INFO_DATATYPE type, INFO_DATATYPE *piType, void *pBuffer,
                     size_t *piSize) {
  if (piSize == nullptr) return Fail(GC_ERR_INVALID_PARAMETER, "the size pointer is null");
  if (piType != nullptr) *piType = type;
  if (pBuffer == nullptr) {
    *piSize = size;
    return GC_ERR_SUCCESS;
  }
  if (*piSize < size) {
    const size_t given = *piSize;
    *piSize = size;
    return Fail(GC_ERR_BUFFER_TOO_SMALL,
                "the buffer holds " + std::to_string(given) + " bytes, the answer " + std::to_string(size));
  }
  if (size != 0) std::memcpy(pBuffer, data, size);
  *piSize = size;
  return GC_ERR_SUCCESS;
}

GC_ERROR AnswerText(const std::string &text, INFO_DATATYPE *piType, void *pBuffer, size_t *piSize) {
  return AnswerBytes(text.c_str(), text.size() + 1, INFO_DATATYPE_STRING, piType, pBuffer, piSize);
}

GC_ERROR UnknownCommand(int32_t command) {
  return Fail(GC_ERR_NOT_IMPLEMENTED, "info command " + std::to_string(command) + " is not answered");
}

GC_ERROR CopyId(const std::string &id, char *out, size_t *piSize) {
  return AnswerText(id, nullptr, out, piSize);
}

void AddHandle(const std::shared_ptr<Module> &module) {
  std::lock_guard<std::mutex> guard(handlesLock);
  handles.emplace(module.get(), module);
}

void RemoveHandle(const Module *module) {
  std::shared_ptr<Module> last; // freed after the lock is let go
  std::lock_guard<std::mutex> guard(handlesLock);
  const auto found = handles.find(module);
  if (found == handles.end()) return;
  last = std::move(found->second);
  handles.erase(found);
  handlesRemoved.fetch_add(1, std::memory_order_release);
}

// Each thread keeps the modules it found last, valid while no handle has
// been removed since: a thread streaming from one stream finds its event
// and its stream without the table's lock. An entry keeps its module's
// memory until the entry is replaced, never its library objects (a close
// ends those at once).
std::shared_ptr<Module> FindModule(void *handle) {
  struct Found {
    const void *handle = nullptr;
    std::weak_ptr<Module> module;
    uint64_t removed = 0;
  };
  thread_local Found found[4];
  thread_local unsigned next = 0;
  const uint64_t removed = handlesRemoved.load(std::memory_order_acquire);
  for (Found &entry : found)
    if (entry.handle == handle && entry.removed == removed)
      if (auto module = entry.module.lock()) return module;
  std::shared_ptr<Module> module;
  {
    std::lock_guard<std::mutex> guard(handlesLock);
    const auto listed = handles.find(handle);
    if (listed == handles.end()) return nullptr;
    module = listed->second;
  }
  found[next] = {handle, module, removed};
  next = (next + 1) % 4;
  return module;
}

GC_ERROR BadHandle(const char *what) { return Fail(GC_ERR_INVALID_HANDLE, std::string("not a ") + what + " handle"); }

bool Initialized() { return initialized.load(std::memory_order_acquire); }

} // namespace zar_gentl

using namespace zar_gentl;

extern "C" {

ZAR_GENTL_API GCInitLib(void) {
  try {
    std::lock_guard<std::mutex> guard(initLock);
    if (initialized) return Fail(GC_ERR_RESOURCE_IN_USE, "GCInitLib was called already");
    std::string why;
    if (!LoadLibraryTable(&why)) return Fail(GC_ERR_ERROR, why);
    initialized = true;
    return GC_ERR_SUCCESS;
  } catch (...) {
    return Fail(GC_ERR_OUT_OF_MEMORY, "out of memory");
  }
}

// The library stays loaded: its threads may still be ending calls into the
// producer's callbacks, and a later GCInitLib finds it again.
ZAR_GENTL_API GCCloseLib(void) {
  try {
    std::lock_guard<std::mutex> guard(initLock);
    if (!initialized) return Fail(GC_ERR_NOT_INITIALIZED, "GCInitLib has not been called");
    CloseAllSystems();
    initialized = false;
    return GC_ERR_SUCCESS;
  } catch (...) {
    return Fail(GC_ERR_ERROR, "internal error");
  }
}

// Answers before GCInitLib too, so that a consumer can read why it failed.
ZAR_GENTL_API GCGetLastError(GC_ERROR *piErrorCode, char *sErrText, size_t *piSize) {
  try {
    if (piErrorCode == nullptr || piSize == nullptr) return GC_ERR_INVALID_PARAMETER;
    const LastError error = lastError; // an answer that fails must not replace it
    *piErrorCode = error.code;
    const GC_ERROR answered = AnswerText(error.text, nullptr, sErrText, piSize);
    lastError = error;
    return answered;
  } catch (...) {
    return GC_ERR_OUT_OF_MEMORY;
  }
}

} // extern "C"
