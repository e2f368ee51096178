// The trace file: what reaches it, time stamps, the size limit, failures.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <regex>
#include <sstream>
#include <thread>

#include "environment.h"
#include "temp_dir.h"
#include "test_main.h"
#include "zar_usb.h"

namespace {

constexpr int32_t kCreateWrite = ZAR_O_WRONLY | ZAR_O_CREAT | ZAR_O_TRUNC | ZAR_O_BINARY;

// A traced call, on no handle.
void TracedCall() { uint32_t count = 0; TLGetNumInterfaces(nullptr, &count); }

class TraceLog : public ::testing::Test {
protected:
  void TearDown() override { CloseDebugFile(); EnableZarTrace(0); LimitDebugFileSize(0xFFFFFFFFu); }
  // The file's content, newlines of a text-mode file as "\n".
  std::string Content() const { return std::regex_replace(zar_test::FileText(m_path), std::regex("\r\n"), "\n"); }
  void OpenTrace() { ASSERT_EQ(OpenDebugFile(m_path.wstring().c_str(), kCreateWrite), 0); }

  zar_test::TempDir m_dir;
  std::filesystem::path m_path = m_dir / "trace.txt";
};

// Each traced call writes an empty line, a time stamp line, then its message, cut to 511 bytes with its final
// newline kept. (The library's own threads may trace meanwhile: the test looks at its own calls' lines.)
TEST_F(TraceLog, TracedCallsWriteATimeStampLineThenTheMessage) {
  OpenTrace();
  EnableZarTrace(1);
  ZAR_TL_HANDLE tl = nullptr; uint8_t changed = 0;
  ASSERT_TRUE(TLOpen(nullptr, nullptr, &tl) == ZAR_SUCCESS && TLClose(tl) == ZAR_SUCCESS);
  TLUpdateDeviceList(nullptr, std::string(700, 'n').c_str(), &changed);
  CloseDebugFile();

  char handle[32];
  std::snprintf(handle, sizeof handle, "0x%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(tl)));
  const std::string content = Content();
  EXPECT_EQ(content.substr(0, 1), "\n") << "the first piece starts with its line break";
  const std::string stamp = R"(\n\nZAR=> (Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ 1-3][0-9] \d\d:\d\d:\d\d \d{4}\n)";
  const std::string text = "\n" + content; auto from = text.cbegin();
  for (const std::string &call : {std::string("TLOpen pHandle=0x"), std::string("TLSetCallback hTL=") + handle,
                                 std::string("TLClose hTL=") + handle, std::string("TLRemoveCallback hTL=") + handle}) {
    std::smatch found;
    ASSERT_TRUE(std::regex_search(from, text.cend(), found, std::regex(stamp + "ZAR=> Enter " + call)))
        << call << " in:" << content;
    from = found[0].second;
  }
  const size_t start = content.find("ZAR=> Enter TLUpdateDeviceList");
  ASSERT_NE(start, std::string::npos);
  EXPECT_EQ(content.find('\n', start), start + 510) << "cut, its newline last";
}

// What a traced call and a WriteZarTrace send to the debugger output (here the standard error stream).
std::string DebugOutput() {
  zar_test::SetEnv("ZAR_USB_DEBUG_OUTPUT", "stderr");
  ::testing::internal::CaptureStderr();
  TracedCall();
  WriteZarTrace("direct");
  const std::string output = ::testing::internal::GetCapturedStderr();
  zar_test::UnsetEnv("ZAR_USB_DEBUG_OUTPUT");
  return output;
}

// Without a file, or with one that cannot be opened, nothing is written anywhere; with one, every piece goes
// to the debugger output too (which Windows does not let a process read back). WriteZarTrace writes its text
// as it is, enabled or not. A piece that would pass the size limit (KiB) empties the file first.
TEST_F(TraceLog, PiecesNeedAFileAndASizeLimitEmptiesIt) {
  const auto missing = m_dir / "no-such-folder" / "trace.txt";
  EXPECT_NE(OpenDebugFile(missing.wstring().c_str(), kCreateWrite), 0);
  EXPECT_NE(OpenDebugFile(std::wstring(300, L'x').c_str(), kCreateWrite), 0);
  EXPECT_NE(OpenDebugFile(nullptr, ZAR_O_WRONLY), 0);
  EnableZarTrace(1);
  EXPECT_EQ(DebugOutput(), "");
  EXPECT_FALSE(std::filesystem::exists(m_path) || std::filesystem::exists(missing));
  OpenTrace();
  WriteZarTrace(nullptr);
#ifndef _WIN32
  const std::string output = DebugOutput();
  EXPECT_TRUE(
      std::regex_search(output, std::regex("\nZAR=> .{24}\nZAR=> Enter TLGetNumInterfaces hTL=0x0000000000000000\n")))
      << output;
  EXPECT_NE(output.find("direct"), std::string::npos) << "WriteZarTrace too";
#endif

  EnableZarTrace(0);
  OpenTrace();
  WriteZarTrace("plain text, no stamp");
  TracedCall(); // silent while disabled
  WriteZarTrace("|second");
  EXPECT_EQ(Content(), "plain text, no stamp|second");
  OpenTrace();
  LimitDebugFileSize(1);
  const std::string first(1000, 'a');
  WriteZarTrace(first.c_str());
  WriteZarTrace(std::string(24, 'b').c_str()); // ends exactly at byte 1024: appended
  EXPECT_EQ(Content(), first + std::string(24, 'b'));
  WriteZarTrace("c"); WriteZarTrace("d"); // "c" would pass the limit: the file starts again
  EXPECT_EQ(Content(), "cd");
  LimitDebugFileSize(0); // empties the file before every piece
  WriteZarTrace("one"); WriteZarTrace("two");
  CloseDebugFile();
  CloseDebugFile(); // twice: harmless
  WriteZarTrace("after close");
  EXPECT_EQ(Content(), "two");
}

TEST_F(TraceLog, ConcurrentTracingAndReopeningWriteOnlyWholePieces) {
  // A limit of 1 KiB empties the file all the time; one of 4 MiB keeps every piece, for the stamps to be checked.
  for (const uint32_t kilobytes : {1u, 4096u}) {
    SCOPED_TRACE(kilobytes);
    OpenTrace();
    EnableZarTrace(1);
    LimitDebugFileSize(kilobytes);
    std::atomic<bool> stop{false}; std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t)
      writers.emplace_back([&] {
        for (int i = 0; i < 2000; ++i) { TracedCall(); WriteZarTrace("[piece]\n"); }
      });
    std::thread reopener([&] {
      while (!stop) {
        CloseDebugFile();
        OpenDebugFile(m_path.wstring().c_str(), ZAR_O_WRONLY | ZAR_O_CREAT | ZAR_O_APPEND | ZAR_O_BINARY);
      }
    });
    for (auto &writer : writers) writer.join();
    stop = true; reopener.join(); CloseDebugFile();

    // Whole pieces only: this test's, and the library threads' lines, which never hold a '['; and every time stamp
    // followed by its own message, not by another thread's stamp or piece.
    const std::regex line(R"(|\[piece\]|ZAR(=>|:) [^\[]*)"), stamp(R"(ZAR=> [A-Z][a-z]{2} [A-Z][a-z]{2} .* \d{4})");
    std::istringstream lines(Content()); std::string text, previous;
    for (; std::getline(lines, text); previous = text) {
      ASSERT_TRUE(std::regex_match(text, line)) << "torn line: " << text;
      ASSERT_FALSE(std::regex_match(previous, stamp) && (text.empty() || text == "[piece]")) << "stamp without message";
    }
  }
}

} // namespace
