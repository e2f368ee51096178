// A scan's traces, in order, when a member the platform port lists cannot be read.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/interface_classes.h"
#include "os/device_sources.h"
#include "registry/monitor.h"
#include "registry/shared_table.h"
#include "temp_dir.h"
#include "test_main.h"
#include "trace/trace.h"
#include "zar_usb.h"

using namespace oxa::ZarUsb;

namespace {

// Class 3 holds two members it cannot read: the path of the first, the second itself.
class UnreadableMembers final : public os::DeviceSource {
public:
  std::vector<os::DeviceInterfaceEntry> Members(const os::Guid &classGuid, uint32_t) override {
    if (std::memcmp(&classGuid, &driver::kInterfaceClasses[3], sizeof classGuid) != 0) return {};
    return {{7, {}, 122, true}, {7, {}, 6, false}};
  }
  bool Owns(const char *) const noexcept override { return false; }
  std::unique_ptr<os::DeviceIo> Open(const char *, uint32_t *error) noexcept override {
    *error = os::kErrorFileNotFound;
    return nullptr;
  }
};

TEST(Enumeration, AMemberWhosePathCannotBeReadIsTracedAfterItsEnumeration) {
  const zar_test::TempDir dir;
  const auto path = dir / "trace.txt";
  ASSERT_EQ(OpenTraceFile(path.wstring().c_str(), ZAR_O_WRONLY | ZAR_O_CREAT | ZAR_O_TRUNC), 0);
  EnableTrace(true);
  UnreadableMembers source;
  os::SetSecondDeviceSource(&source);
  ASSERT_TRUE(OpenSharedTable()); // this process's monitor scans at once
  EXPECT_EQ(WaitForThreadReady(), 1);
  StopMonitorThread(false);
  CloseSharedTable();
  os::SetSecondDeviceSource(nullptr);
  EnableTrace(false);
  CloseTraceFile();

  const std::string text = zar_test::FileText(path);
  size_t at = 0;
  for (const std::string line : {"UpdateDevicesList : SetupDiEnumDeviceInterfaces => unIndexGID=3 dwCount=0",
                                 "!!! UpdateDevicesList : SetupDiGetInterfaceDeviceDetail Error=122 unIndexGID=3 dwCount=0",
                                 "!!! UpdateDevicesList : SetupDiEnumDeviceInterfaces Error=6 unIndexGID=3 dwCount=1"}) {
    at = text.find("ZAR=> " + line + " dwNbDevicesFound=0", at);
    ASSERT_NE(at, std::string::npos) << "missing, or not in this order: " << line << "\n" << text;
  }
  EXPECT_EQ(text.find("SetupDiEnumDeviceInterfaces => unIndexGID=3 dwCount=1"), std::string::npos)
      << "a member that did not enumerate is not traced as enumerated";
}

} // namespace
