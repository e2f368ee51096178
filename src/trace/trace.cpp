#include "trace/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <initializer_list>
#include <new>

#include "os/critical_section.h"
#include "os/debug_output.h"
#include "os/low_level_file.h"
#include "os/system_info.h"
#include "trace/trace_format.h"

namespace oxa::ZarUsb {

namespace trace_state {
std::atomic<bool> g_enabled{false};
std::atomic<bool> g_fileOpen{false};
} // namespace trace_state

using trace_state::g_enabled;
using trace_state::g_fileOpen;

namespace {

constexpr size_t kLineBufferSize = 512;
constexpr size_t kMaxPathLength = 259; // characters, without the terminator
constexpr int kReopenFlags = 0x4201;   // write-only, truncate, text
constexpr int kNameTooLong = 38;       // ENAMETOOLONG of the C runtime

struct TraceFile {
  os::CriticalSection lock;
  os::LowLevelFile file;
  bool limitEnabled = false;
  uint32_t limitKilobytes = 0;
  wchar_t path[kMaxPathLength + 1] = {};
};

// Never destroyed: the library traces while it unloads, after static objects
// may already be gone. The descriptor is closed by the system at exit.
TraceFile &File() {
  alignas(TraceFile) static unsigned char storage[sizeof(TraceFile)];
  static TraceFile *file = new (storage) TraceFile;
  return *file;
}

class FileLock {
public:
  explicit FileLock(TraceFile &file) : m_file(file) { m_file.lock.Enter(); }
  ~FileLock() { m_file.lock.Leave(); }
  FileLock(const FileLock &) = delete;
  FileLock &operator=(const FileLock &) = delete;

private:
  TraceFile &m_file;
};

// Whether a piece of `length` bytes may be written now; empties the file when
// the piece would pass the limit. The bound is computed in 64 bits, so limits
// of 4 GiB and more hold as stated. Called with the file lock held.
bool CheckTraceFileSize(TraceFile &trace, size_t length) {
  if (!trace.limitEnabled) return true;
  const int64_t position = trace.file.Tell();
  if (position < 0) return true;
  const uint64_t bound = static_cast<uint64_t>(trace.limitKilobytes) * 1024u;
  if (static_cast<uint64_t>(position) + length <= bound) return true;
  trace.file.Close();
  const bool reopened = trace.file.Open(trace.path, kReopenFlags, os::LowLevelFile::kShareDenyWrite,
                                        os::LowLevelFile::kPermissionReadWrite) == 0;
  g_fileOpen.store(reopened);
  return reopened;
}

struct Piece {
  const char *text;
  size_t length;
};

// Writes the pieces in order, each checked against the size limit on its
// own, under one hold of the file lock: a time stamp and its message stay
// together in the file when several threads trace at once.
void WritePieces(std::initializer_list<Piece> pieces, bool checkSize) {
  TraceFile &trace = File();
  {
    FileLock lock(trace);
    for (const Piece &piece : pieces)
      if (trace.file.IsOpen() && (!checkSize || CheckTraceFileSize(trace, piece.length)))
        trace.file.Write(piece.text, static_cast<uint32_t>(piece.length));
  }
  for (const Piece &piece : pieces) os::DebugOutput(piece.text);
}

// Formats into line (kLineBufferSize bytes); a cut piece keeps the newline
// its format ends with, so the next time stamp still starts a line.
size_t FormatPiece(char *line, const char *format, va_list args) {
  const size_t full = FormatTrace(line, kLineBufferSize, format, args);
  if (full < kLineBufferSize) return full;
  const size_t formatLength = std::strlen(format);
  if (formatLength > 0 && format[formatLength - 1] == '\n') line[kLineBufferSize - 2] = '\n';
  return kLineBufferSize - 1;
}

size_t FormatTimeStamp(char *line) {
  static const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const os::LocalTime now = os::CurrentLocalTime();
  return FormatTraceText(line, kLineBufferSize, "\nZAR=> %s %s %2d %.2d:%.2d:%.2d %d\n",
                         kDays[now.weekDay], kMonths[now.month], now.day, now.hour, now.minute,
                         now.second, now.year);
}

} // namespace

void WriteTraceMessage(const char *format, ...) noexcept {
  if (!IsTraceActive()) return;
  char stamp[kLineBufferSize];
  const size_t stampLength = FormatTimeStamp(stamp);
  char line[kLineBufferSize];
  va_list args;
  va_start(args, format);
  const size_t length = FormatPiece(line, format, args);
  va_end(args);
  WritePieces({{stamp, stampLength}, {line, length}}, true);
}

void TraceRaw(const char *format, ...) noexcept {
  if (!IsTraceActive()) return;
  char line[kLineBufferSize];
  va_list args;
  va_start(args, format);
  const size_t length = FormatPiece(line, format, args);
  va_end(args);
  WritePieces({{line, length}}, false);
}

int32_t OpenTraceFile(const wchar_t *path, int32_t flags) noexcept {
  TraceFile &trace = File();
  FileLock lock(trace);
  // Opening replaces the file held before; it is closed first.
  trace.file.Close();
  g_fileOpen.store(false);
  size_t length = 0;
  if (path != nullptr) {
    while (path[length] != L'\0' && length <= kMaxPathLength) ++length;
    // A longer path could not be reopened at the size limit: refused.
    if (length > kMaxPathLength) return kNameTooLong;
    std::memcpy(trace.path, path, length * sizeof(wchar_t));
  }
  trace.path[length] = L'\0';
  const int error = trace.file.Open(path, flags, os::LowLevelFile::kShareDenyWrite,
                                    os::LowLevelFile::kPermissionReadWrite);
  g_fileOpen.store(error == 0);
  return error;
}

void CloseTraceFile() noexcept {
  TraceFile &trace = File();
  FileLock lock(trace);
  trace.file.Close();
  g_fileOpen.store(false);
}

void WriteTraceText(const char *text) noexcept {
  if (text == nullptr || !g_fileOpen.load()) return;
  WritePieces({{text, std::strlen(text)}}, true);
}

void LimitTraceFileSize(uint32_t kilobytes) noexcept {
  TraceFile &trace = File();
  FileLock lock(trace);
  trace.limitEnabled = true;
  trace.limitKilobytes = kilobytes;
}

void EnableTrace(bool enable) noexcept { g_enabled.store(enable); }

} // namespace oxa::ZarUsb
