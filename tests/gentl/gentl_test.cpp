// ZAR_USB.cti as a GenTL consumer sees it: loaded from its file, every
// function resolved by name, the module tree walked, registers and
// description files read through ports, frames streamed and checked against
// the emulator's pattern, waits ended by EventKill and by an unplug, and two
// processes each holding a camera.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "camera_bench.h"
#include "environment.h"
#include "gentl_consumer.h"
#include "open_stream.h"
#include "temp_dir.h"
#include "test_main.h"
#ifdef ZAR_GENTL_TEST_ARAVIS
#include "port_genicam.h"
#endif

namespace {

using gentl::Error;
using gentl::Handle;
namespace emulator = oxa::ZarUsb::emulator;

const gentl::Producer *Api() {
  static std::string why;
  static const gentl::Producer *api = gentl::LoadProducer(gentl::ProducerPath(), &why);
  return api;
}

// ---- Small consumer helpers ----------------------------------------------------

std::string Text(gentl::InfoFn info, Handle handle, int32_t command) {
  char text[1024] = {};
  size_t size = sizeof text;
  int32_t type = 0;
  if (info(handle, command, &type, text, &size) != gentl::kSuccess || type != gentl::kString) return "<error>";
  return text;
}

template <class T> T Number(gentl::InfoFn info, Handle handle, int32_t command, int32_t expectedType) {
  T value{};
  size_t size = sizeof value;
  int32_t type = 0;
  if (info(handle, command, &type, &value, &size) != gentl::kSuccess || type != expectedType || size != sizeof value)
    return T(~0ULL);
  return value;
}

std::string DeviceText(Handle iface, const std::string &id, int32_t command) {
  char text[1024] = {};
  size_t size = sizeof text;
  int32_t type = 0;
  if (Api()->IFGetDeviceInfo(iface, id.c_str(), command, &type, text, &size) != gentl::kSuccess) return "<error>";
  return text;
}

int32_t DeviceAccess(Handle iface, const std::string &id) {
  int32_t access = -1;
  size_t size = sizeof access;
  int32_t type = 0;
  Api()->IFGetDeviceInfo(iface, id.c_str(), gentl::kDevAccess, &type, &access, &size);
  return type == gentl::kInt32 ? access : -1;
}

std::vector<std::string> DeviceIds(Handle iface) {
  uint8_t changed = 0;
  Api()->IFUpdateDeviceList(iface, &changed, 1000);
  uint32_t count = 0;
  Api()->IFGetNumDevices(iface, &count);
  std::vector<std::string> ids;
  for (uint32_t i = 0; i < count; ++i) {
    char id[512] = {};
    size_t size = sizeof id;
    if (Api()->IFGetDeviceID(iface, i, id, &size) == gentl::kSuccess) ids.emplace_back(id);
  }
  return ids;
}

bool WaitListed(Handle iface, const std::string &id, bool listed = true) {
  return zar_test::WaitFor([&] {
    const auto ids = DeviceIds(iface);
    return (std::find(ids.begin(), ids.end(), id) != ids.end()) == listed;
  });
}

// The description file a port's URL names ("local:///name;address;length").
std::string PortFile(Handle port) {
  char url[512] = {};
  size_t size = sizeof url;
  int32_t type = 0;
  if (Api()->GCGetPortURLInfo(port, 0, gentl::kUrl, &type, url, &size) != gentl::kSuccess) return {};
  const std::string text = url;
  const size_t first = text.find(';'), second = text.find(';', first + 1);
  if (text.rfind("local:", 0) != 0 || first == std::string::npos || second == std::string::npos) return {};
  const uint64_t address = std::stoull(text.substr(first + 1), nullptr, 16);
  size_t length = std::stoull(text.substr(second + 1), nullptr, 16);
  std::string xml(length, '\0');
  if (Api()->GCReadPort(port, address, xml.data(), &length) != gentl::kSuccess) return {};
  return xml;
}

#ifdef ZAR_GENTL_TEST_ARAVIS
int PortAccess(void *port, uint64_t address, void *buffer, size_t size, int write) {
  return write ? Api()->GCWritePort(port, address, buffer, &size) : Api()->GCReadPort(port, address, buffer, &size);
}
#endif

// A feature of a port's node map, by name: an integer as its decimal text.
// Where Aravis is missing, the file is only checked to name it.
std::string Feature(Handle port, const std::string &name, int64_t select = -1, const char *selector = nullptr) {
  const std::string xml = PortFile(port);
  if (xml.rfind("<?xml", 0) != 0 || xml.find("</RegisterDescription>") == std::string::npos ||
      xml.find("Name=\"" + name + "\"") == std::string::npos)
    return "<not in the description file>";
#ifdef ZAR_GENTL_TEST_ARAVIS
  PortNodeMap *map = port_node_map_new(PortAccess, port, xml.data(), xml.size());
  if (map == nullptr) return "<no node map>";
  std::string value = "<unreadable>";
  char text[512];
  int64_t number = 0;
  if (selector != nullptr && port_node_map_set_integer(map, selector, select) != 0) value = "<selector>";
  else if (port_node_map_integer(map, name.c_str(), &number) == 0) value = std::to_string(number);
  else if (port_node_map_text(map, name.c_str(), text, sizeof text) == 0) value = text;
  port_node_map_free(map);
  return value;
#else
  (void)select;
  (void)selector;
  return "<named>";
#endif
}

// Streams `frames` frames through the device's stream, in producer memory
// or application memory, checking each against the emulator's pattern.
// Empty on success, else what went wrong.
std::string StreamFrames(Handle device, bool applicationMemory, int frames) {
  const gentl::Producer &api = *Api();
  char id[64] = {};
  size_t idSize = sizeof id;
  Handle stream = nullptr, event = nullptr;
  if (api.DevGetDataStreamID(device, 0, id, &idSize) != 0 || api.DevOpenDataStream(device, id, &stream) != 0)
    return "no stream";
  const size_t payload = Number<size_t>(api.DSGetInfo, stream, gentl::kStreamPayloadSize, gentl::kSizeT);
  std::vector<std::vector<uint8_t>> memory(4, std::vector<uint8_t>(payload));
  std::vector<Handle> buffers;
  for (size_t i = 0; i < memory.size(); ++i) {
    Handle buffer = nullptr;
    void *user = &memory[i];
    const Error announced = applicationMemory
                                ? api.DSAnnounceBuffer(stream, memory[i].data(), payload, user, &buffer)
                                : api.DSAllocAndAnnounceBuffer(stream, payload, user, &buffer);
    if (announced != 0 || api.DSQueueBuffer(stream, buffer) != 0) return "announce " + std::to_string(announced);
    buffers.push_back(buffer);
  }
  if (api.GCRegisterEvent(stream, gentl::kEventNewBuffer, &event) != 0 ||
      api.DSStartAcquisition(stream, 0, gentl::kInfinite) != 0)
    return "start";
  std::string failure;
  uint64_t lastFrame = 0;
  for (int i = 0; i < frames && failure.empty(); ++i) {
    gentl::NewBufferData data{};
    size_t size = sizeof data;
    if (const Error got = api.EventGetData(event, &data, &size, 5000)) {
      failure = "EventGetData " + std::to_string(got);
      break;
    }
    const auto info = [&](int32_t command, int32_t type) {
      uint64_t value = 0;
      size_t valueSize = sizeof value;
      int32_t answered = 0;
      api.DSGetBufferInfo(stream, data.buffer, command, &answered, &value, &valueSize);
      return answered == type ? value : ~0ULL;
    };
    const auto *base = reinterpret_cast<const uint8_t *>(info(gentl::kBufBase, gentl::kPtr));
    const auto width = static_cast<uint32_t>(info(gentl::kBufWidth, gentl::kSizeT));
    const auto height = static_cast<uint32_t>(info(gentl::kBufHeight, gentl::kSizeT));
    const uint64_t frame = info(gentl::kBufFrameId, gentl::kUInt64);
    const size_t index = std::find(buffers.begin(), buffers.end(), data.buffer) - buffers.begin();
    if (index == buffers.size() || data.user != &memory[index]) failure = "unknown buffer or user pointer";
    else if (applicationMemory && base != memory[index].data()) failure = "base is not the application's memory";
    else if (info(gentl::kBufSize, gentl::kSizeT) != payload || info(gentl::kBufSizeFilled, gentl::kSizeT) != payload)
      failure = "size";
    else if (info(gentl::kBufPixelFormat, gentl::kUInt64) != emulator::kMono8 ||
             info(gentl::kBufPayloadType, gentl::kSizeT) != 1)
      failure = "format";
    else if ((info(gentl::kBufNewData, gentl::kBool8) & 0xFF) != 1 || (info(gentl::kBufQueued, gentl::kBool8) & 0xFF) != 0 ||
             (info(gentl::kBufIncomplete, gentl::kBool8) & 0xFF) != 0 || info(gentl::kBufTimestamp, gentl::kUInt64) == ~0ULL)
      failure = "flags";
    else if (frame <= lastFrame) failure = "frame ids do not increase";
    else if (Number<size_t>(api.DSGetInfo, stream, gentl::kStreamQueued, gentl::kSizeT) +
                 Number<size_t>(api.DSGetInfo, stream, gentl::kStreamAwaitDelivery, gentl::kSizeT) != buffers.size() - 1)
      failure = "the delivered buffer still counts as queued";
    else failure = zar_test::PatternMismatch(base, width, height, frame);
    lastFrame = frame;
    if (failure.empty() && api.DSQueueBuffer(stream, data.buffer) != 0) failure = "requeue";
  }
  if (failure.empty() && (api.DSStopAcquisition(stream, 0) != 0 ||
                          Number<uint64_t>(api.DSGetInfo, stream, gentl::kStreamDelivered, gentl::kUInt64) !=
                              frames + Number<size_t>(api.DSGetInfo, stream, gentl::kStreamAwaitDelivery, gentl::kSizeT) ||
                          Number<size_t>(api.DSGetInfo, stream, gentl::kStreamAnnounced, gentl::kSizeT) != 4 ||
                          api.DSFlushQueue(stream, gentl::kQueueAllDiscard) != 0 ||
                          Number<size_t>(api.DSGetInfo, stream, gentl::kStreamQueued, gentl::kSizeT) != 0))
    failure = "stop, counts or flush";
  for (size_t i = 0; i < buffers.size() && failure.empty(); ++i) {
    void *base = nullptr, *user = nullptr;
    if (api.DSRevokeBuffer(stream, buffers[i], &base, &user) != 0 || user != &memory[i] ||
        base != (applicationMemory ? memory[i].data() : nullptr))
      failure = "revoke";
  }
  api.DSClose(stream);
  return failure;
}

// ---- The fixture: the system and its interface open ---------------------------

class Producer : public ::testing::Test {
protected:
  // The cameras' description files of the build tree, found as an
  // installation has them (bin/../share/zar-usb/genicam).
  static void SetUpTestSuite() {
    const auto bin = std::filesystem::path(gentl::ProducerPath()).parent_path();
    zar_test::SetEnv("GENICAM_ROOT", (bin.parent_path() / "share" / "zar-usb" / "genicam").string().c_str());
    if (Api() != nullptr) Api()->GCInitLib();
  }
  void SetUp() override {
    std::string missing;
    ASSERT_NE(gentl::LoadProducer(gentl::ProducerPath(), &missing), nullptr) << missing;
    ASSERT_EQ(api.TLOpen(&tl), gentl::kSuccess);
    uint8_t changed = 0;
    ASSERT_EQ(api.TLUpdateInterfaceList(tl, &changed, 1000), gentl::kSuccess);
    ASSERT_EQ(api.TLOpenInterface(tl, "USB", &iface), gentl::kSuccess);
  }
  void TearDown() override {
    if (tl != nullptr) api.TLClose(tl);
  }
  // Plugs a camera and waits until the interface lists it; its ID.
  std::string Plug(const emulator::CameraConfig &config, uint32_t *slot = nullptr) {
    const uint32_t plugged = cameras.Plug(config);
    if (slot != nullptr) *slot = plugged;
    const std::string id = zar_test::CameraName(config);
    return WaitListed(iface, id) ? id : "<not listed>";
  }
  Handle Open(const std::string &id) {
    Handle device = nullptr;
    return api.IFOpenDevice(iface, id.c_str(), gentl::kOpenExclusive, &device) == gentl::kSuccess ? device : nullptr;
  }

  const gentl::Producer &api = *Api();
  Handle tl = nullptr, iface = nullptr;
  zar_test::PluggedCameras cameras;
};

TEST_F(Producer, ExportsEveryFunctionOfTheStandardTable) {
  std::string missing;
  EXPECT_NE(gentl::LoadProducer(gentl::ProducerPath(), &missing), nullptr) << missing;
  EXPECT_EQ(gentl::kAllFunctions.size(), 57u);
}

TEST_F(Producer, WalksTheTreeAndAnswersEveryModulesInfo) {
  emulator::CameraConfig named = zar_test::StreamConfig("TREE");
  named.userName = "Left";
  named.model = "ZC2000";
  named.version = "2.0";
  const std::string id = Plug(named);
  ASSERT_EQ(id, "Left_#" + named.serial);

  const std::vector<std::pair<int32_t, std::string>> system = {
      {gentl::kTLId, "ZAR_USB"}, {gentl::kTLVendor, "RK46"}, {gentl::kTLModel, "ZAR_USB"},
      {gentl::kTLType, "Custom"}, {gentl::kTLName, "ZAR_USB.cti"}, {gentl::kTLDisplayName, "RK46 ZAR_USB"}};
  for (const auto &[command, expected] : system) EXPECT_EQ(Text(api.TLGetInfo, tl, command), expected) << command;
  EXPECT_NE(Text(api.TLGetInfo, tl, gentl::kTLPath).find("ZAR_USB.cti"), std::string::npos);
  EXPECT_EQ(Number<uint32_t>(api.TLGetInfo, tl, gentl::kTLVersionMajor, gentl::kUInt32), 1u);
  EXPECT_EQ(Number<uint32_t>(api.TLGetInfo, tl, gentl::kTLVersionMinor, gentl::kUInt32), 5u);
  EXPECT_EQ(Number<int32_t>(api.TLGetInfo, tl, gentl::kTLEncoding, gentl::kInt32), 0);
  uint32_t interfaces = 0;
  char ifaceId[16] = {};
  size_t ifaceIdSize = sizeof ifaceId;
  EXPECT_EQ(api.TLGetNumInterfaces(tl, &interfaces), gentl::kSuccess);
  EXPECT_EQ(interfaces, 1u);
  EXPECT_EQ(api.TLGetInterfaceID(tl, 0, ifaceId, &ifaceIdSize), gentl::kSuccess);
  EXPECT_STREQ(ifaceId, "USB");
  EXPECT_EQ(Text(api.IFGetInfo, iface, gentl::kIfId), "USB");
  EXPECT_EQ(Text(api.IFGetInfo, iface, gentl::kIfType), "Custom");

  // The same answers about the camera from the interface, before and after
  // it is opened, and from the device.
  const std::vector<std::pair<int32_t, std::string>> device = {
      {gentl::kDevId, id},         {gentl::kDevVendor, "RK46"},   {gentl::kDevModel, "ZC2000"},
      {gentl::kDevSerial, named.serial}, {gentl::kDevVersion, "2.0"}, {gentl::kDevType, "Custom"},
      {gentl::kDevUserName, "Left"}, {gentl::kDevDisplayName, "RK46 ZC2000 (" + named.serial + ")"}};
  for (const auto &[command, expected] : device) EXPECT_EQ(DeviceText(iface, id, command), expected) << command;
  EXPECT_EQ(DeviceAccess(iface, id), gentl::kAccessReadWrite);
  Handle opened = Open(id);
  ASSERT_NE(opened, nullptr);
  for (const auto &[command, expected] : device) {
    EXPECT_EQ(DeviceText(iface, id, command), expected) << command;
    EXPECT_EQ(Text(api.DevGetInfo, opened, command), expected) << command;
  }
  EXPECT_EQ(DeviceAccess(iface, id), gentl::kAccessOpenReadWrite);
  EXPECT_EQ(Number<uint64_t>(api.DevGetInfo, opened, gentl::kDevTimestampFrequency, gentl::kUInt64), 1000000u);
  Handle second = nullptr;
  EXPECT_EQ(api.IFOpenDevice(iface, id.c_str(), gentl::kOpenExclusive, &second), gentl::kResourceInUse);

  Handle stream = nullptr;
  ASSERT_EQ(api.DevOpenDataStream(opened, "Stream0", &stream), gentl::kSuccess);
  EXPECT_EQ(Text(api.DSGetInfo, stream, gentl::kStreamId), "Stream0");
  EXPECT_EQ(Number<size_t>(api.DSGetInfo, stream, gentl::kStreamPayloadSize, gentl::kSizeT),
            size_t{named.width} * named.height);
  EXPECT_EQ(Number<uint8_t>(api.DSGetInfo, stream, gentl::kStreamGrabbing, gentl::kBool8), 0);

  // Each module's port describes its features, read by name.
  Handle remote = nullptr;
  ASSERT_EQ(api.DevGetPort(opened, &remote), gentl::kSuccess);
  const struct {
    Handle port;
    const char *module, *feature, *selector;
    std::string expected;
  } ports[] = {{tl, "TLSystem", "TLID", nullptr, "ZAR_USB"},
               {iface, "TLInterface", "DeviceID", "DeviceSelector", id},
               {opened, "TLDevice", "DeviceSerialNumber", nullptr, named.serial},
               {stream, "TLDataStream", "StreamAnnouncedBufferCount", nullptr, "0"},
               {remote, "Device", "Width", nullptr, std::to_string(named.width)}};
  for (const auto &port : ports) {
    EXPECT_EQ(Text(api.GCGetPortInfo, port.port, gentl::kPortModule), port.module);
    EXPECT_EQ(Number<int32_t>(
                  [](Handle h, int32_t c, int32_t *t, void *b, size_t *s) { return Api()->GCGetPortURLInfo(h, 0, c, t, b, s); },
                  port.port, gentl::kUrlScheme, gentl::kInt32),
              gentl::kUrlSchemeLocal);
#ifdef ZAR_GENTL_TEST_ARAVIS
    const auto ids = DeviceIds(iface);
    const int64_t index = std::find(ids.begin(), ids.end(), id) - ids.begin();
    EXPECT_EQ(Feature(port.port, port.feature, index, port.selector), port.expected) << port.module;
#else
    EXPECT_EQ(Feature(port.port, port.feature), "<named>") << port.module;
#endif
  }
  EXPECT_EQ(Text(api.GCGetPortInfo, remote, gentl::kPortName), "Device");
  EXPECT_EQ(api.DevClose(opened), gentl::kSuccess);
  EXPECT_EQ(DeviceAccess(iface, id), gentl::kAccessReadWrite);
}

TEST_F(Producer, RemotePortReadsAndWritesTheCamerasRegisters) {
  const emulator::CameraConfig config = zar_test::StreamConfig("PORT");
  Handle device = Open(Plug(config));
  ASSERT_NE(device, nullptr);
  Handle port = nullptr;
  ASSERT_EQ(api.DevGetPort(device, &port), gentl::kSuccess);
  const auto read = [&](uint64_t address) {
    uint32_t value = 0;
    size_t size = sizeof value;
    return api.GCReadPort(port, address, &value, &size) == gentl::kSuccess && size == 4 ? value : ~0u;
  };
  const uint32_t height = 6;
  size_t size = sizeof height;
  ASSERT_EQ(api.GCWritePort(port, emulator::reg::kHeight, &height, &size), gentl::kSuccess);
  const struct {
    uint64_t address;
    uint32_t expected;
  } registers[] = {{emulator::reg::kWidth, config.width},
                   {emulator::reg::kHeight, height},
                   {emulator::reg::kPixelFormat, emulator::kMono8},
                   {emulator::reg::kPayloadSize, config.width * height}};
  for (const auto &r : registers) EXPECT_EQ(read(r.address), r.expected) << std::hex << r.address;
  // A read-only register refuses the write as the library does.
  EXPECT_EQ(api.GCWritePort(port, emulator::reg::kPayloadSize, &height, &size), gentl::kAccessDenied);

  // The camera's own description file, by name, over the same registers.
  const std::vector<std::pair<std::string, std::string>> features = {
      {"Width", std::to_string(config.width)},
      {"Height", std::to_string(height)},
      {"PixelFormat", std::to_string(emulator::kMono8)},
      {"PayloadSize", std::to_string(config.width * height)}};
  for (const auto &[name, expected] : features) {
#ifdef ZAR_GENTL_TEST_ARAVIS
    EXPECT_EQ(Feature(port, name), expected) << name;
#else
    EXPECT_EQ(Feature(port, name), "<named>") << name;
#endif
  }
}

class Streaming : public Producer, public ::testing::WithParamInterface<bool> {};

TEST_P(Streaming, FramesMatchTheEmulatorsPattern) {
  Handle device = Open(Plug(zar_test::StreamConfig(GetParam() ? "APP" : "TL")));
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(StreamFrames(device, GetParam(), 20), "");
}
INSTANTIATE_TEST_SUITE_P(MemoryKinds, Streaming, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "ApplicationMemory" : "ProducerMemory"; });

// A started stream with no buffer queued: a wait has nothing to end it but
// a kill or an unplug.
struct IdleStream {
  Handle stream = nullptr, event = nullptr, buffer = nullptr;
  explicit IdleStream(Handle device) {
    const gentl::Producer &api = *Api();
    if (api.DevOpenDataStream(device, "Stream0", &stream) != 0 ||
        api.DSAllocAndAnnounceBuffer(stream, 512, nullptr, &buffer) != 0 ||
        api.GCRegisterEvent(stream, gentl::kEventNewBuffer, &event) != 0 ||
        api.DSStartAcquisition(stream, 0, gentl::kInfinite) != 0)
      event = nullptr;
  }
  std::future<Error> Wait(uint64_t timeout = gentl::kInfinite) const {
    return std::async(std::launch::async, [this, timeout] {
      gentl::NewBufferData data{};
      size_t size = sizeof data;
      return Api()->EventGetData(event, &data, &size, timeout);
    });
  }
};

TEST_F(Producer, EventKillEndsOnePendingWait) {
  Handle device = Open(Plug(zar_test::StreamConfig("KILL")));
  ASSERT_NE(device, nullptr);
  IdleStream idle(device);
  ASSERT_NE(idle.event, nullptr);
  auto pending = idle.Wait();
  // Nothing but the kill can end this wait: it is still pending now.
  ASSERT_EQ(pending.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  EXPECT_EQ(api.EventKill(idle.event), gentl::kSuccess);
  ASSERT_EQ(pending.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(pending.get(), gentl::kAbort);
  // One kill ends one wait: the next runs to its timeout.
  EXPECT_EQ(idle.Wait(30).get(), gentl::kTimeout);
}

TEST_F(Producer, AcquisitionStopsAfterTheFramesAskedFor) {
  Handle device = Open(Plug(zar_test::StreamConfig("COUNT")));
  ASSERT_NE(device, nullptr);
  IdleStream idle(device);
  ASSERT_NE(idle.event, nullptr);
  ASSERT_EQ(api.DSStopAcquisition(idle.stream, 0), gentl::kSuccess);
  for (int i = 0; i < 3; ++i) {
    Handle buffer = nullptr;
    ASSERT_EQ(api.DSAllocAndAnnounceBuffer(idle.stream, 512, nullptr, &buffer), gentl::kSuccess);
    ASSERT_EQ(api.DSQueueBuffer(idle.stream, buffer), gentl::kSuccess);
  }
  ASSERT_EQ(api.DSStartAcquisition(idle.stream, 0, 2), gentl::kSuccess);
  EXPECT_EQ(idle.Wait(5000).get(), gentl::kSuccess);
  EXPECT_EQ(idle.Wait(5000).get(), gentl::kSuccess);
  EXPECT_EQ(Number<uint8_t>(api.DSGetInfo, idle.stream, gentl::kStreamGrabbing, gentl::kBool8), 0);
  EXPECT_EQ(idle.Wait(50).get(), gentl::kTimeout); // a third buffer is queued, but no frame comes
  EXPECT_EQ(api.DSStopAcquisition(idle.stream, 0), gentl::kSuccess);
}

// The library holds a stream while a wait for a filled buffer is pending;
// a consumer that requeues on another thread must still get its buffer in.
TEST_F(Producer, QueueingOnAnotherThreadFeedsAPendingWait) {
  Handle device = Open(Plug(zar_test::StreamConfig("FEED")));
  ASSERT_NE(device, nullptr);
  IdleStream idle(device);
  ASSERT_NE(idle.event, nullptr);
  auto pending = idle.Wait(20000);
  ASSERT_EQ(pending.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  auto queued = std::async(std::launch::async, [&] { return api.DSQueueBuffer(idle.stream, idle.buffer); });
  ASSERT_EQ(queued.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(queued.get(), gentl::kSuccess);
  EXPECT_EQ(pending.get(), gentl::kSuccess);
}

// Closing a device while another thread streams from it: the streaming
// calls end with errors, nothing is used after it is freed.
TEST_F(Producer, ClosingRacesStreamingCalls) {
  for (int round = 0; round < 3; ++round) {
    Handle device = Open(Plug(zar_test::StreamConfig("RACE")));
    ASSERT_NE(device, nullptr);
    IdleStream idle(device);
    ASSERT_NE(idle.event, nullptr);
    ASSERT_EQ(api.DSQueueBuffer(idle.stream, idle.buffer), gentl::kSuccess);
    std::atomic<int> frames{0};
    auto streaming = std::async(std::launch::async, [&] {
      for (;;) {
        gentl::NewBufferData data{};
        size_t size = sizeof data, baseSize = sizeof(void *);
        void *base = nullptr;
        int32_t type = 0;
        Error error = api.EventGetData(idle.event, &data, &size, 1000);
        if (error == gentl::kSuccess) error = api.DSGetBufferInfo(idle.stream, data.buffer, gentl::kBufBase, &type, &base, &baseSize);
        if (error == gentl::kSuccess) error = api.DSQueueBuffer(idle.stream, data.buffer);
        if (error != gentl::kSuccess) return error;
        ++frames;
      }
    });
    ASSERT_TRUE(zar_test::WaitFor([&] { return frames >= 5; }));
    EXPECT_EQ(api.DevClose(device), gentl::kSuccess);
    ASSERT_EQ(streaming.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const Error ended = streaming.get();
    EXPECT_TRUE(ended == gentl::kInvalidHandle || ended == gentl::kAbort) << ended;
  }
}

TEST_F(Producer, UnplugEndsPendingWaitsWithAnError) {
  uint32_t slot = 0;
  const std::string id = Plug(zar_test::StreamConfig("UNPLUG"), &slot);
  Handle device = Open(id);
  ASSERT_NE(device, nullptr);
  IdleStream idle(device);
  ASSERT_NE(idle.event, nullptr);
  Handle remoteEvent = nullptr;
  ASSERT_EQ(api.GCRegisterEvent(device, gentl::kEventRemoteDevice, &remoteEvent), gentl::kSuccess);
  auto frame = idle.Wait();
  auto deviceEvent = std::async(std::launch::async, [&] {
    uint8_t data[128];
    size_t size = sizeof data;
    return api.EventGetData(remoteEvent, data, &size, gentl::kInfinite);
  });
  cameras.Unplug(slot);
  ASSERT_EQ(frame.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  ASSERT_EQ(deviceEvent.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(frame.get(), gentl::kIo);
  EXPECT_EQ(deviceEvent.get(), gentl::kIo);
  Handle port = nullptr;
  uint32_t value = 0;
  size_t size = sizeof value;
  ASSERT_EQ(api.DevGetPort(device, &port), gentl::kSuccess);
  EXPECT_EQ(api.GCReadPort(port, emulator::reg::kWidth, &value, &size), gentl::kIo);
  EXPECT_EQ(Number<int32_t>(api.DevGetInfo, device, gentl::kDevAccess, gentl::kInt32), gentl::kAccessNoAccess);
  EXPECT_EQ(api.DevClose(device), gentl::kSuccess);
  EXPECT_TRUE(WaitListed(iface, id, false));
}

TEST_F(Producer, DeviceEventsReachTheRemoteDeviceEvent) {
  uint32_t slot = 0;
  Handle device = Open(Plug(zar_test::StreamConfig("EVENT"), &slot));
  ASSERT_NE(device, nullptr);
  Handle event = nullptr;
  ASSERT_EQ(api.GCRegisterEvent(device, gentl::kEventRemoteDevice, &event), gentl::kSuccess);
  EXPECT_EQ(api.GCRegisterEvent(device, gentl::kEventRemoteDevice, &event), gentl::kResourceInUse);
  const uint8_t payload[] = {1, 2, 3, 4, 5};
  ASSERT_TRUE(emulator::RaiseEvent(slot, 0x9001, payload, sizeof payload));
  uint8_t data[256] = {};
  size_t size = sizeof data;
  ASSERT_EQ(api.EventGetData(event, data, &size, 10000), gentl::kSuccess);
  uint64_t id = 0;
  size_t idSize = sizeof id;
  int32_t type = 0;
  ASSERT_EQ(api.EventGetDataInfo(event, data, size, gentl::kEventDataNumId, &type, &id, &idSize), gentl::kSuccess);
  EXPECT_EQ(id, 0x9001u);
  ASSERT_GE(size, sizeof id + sizeof payload);
  EXPECT_EQ(std::memcmp(data + sizeof id, payload, sizeof payload), 0);
}

// Calls a consumer may get wrong: each answers an error and crashes nothing.
TEST_F(Producer, BadCallsAnswerErrors) {
  const std::string id = Plug(zar_test::StreamConfig("BAD"));
  char text[64];
  size_t size = sizeof text;
  size_t tiny = 2;
  int32_t type = 0;
  uint32_t count = 0;
  Handle handle = nullptr;
  Handle closed = Open(id);
  ASSERT_NE(closed, nullptr);
  ASSERT_EQ(Text(api.DevGetInfo, closed, gentl::kDevId), id); // the handle was good once
  ASSERT_EQ(api.DevClose(closed), gentl::kSuccess);
  const struct {
    const char *call;
    std::function<Error()> run;
    Error expected;
  } calls[] = {
      {"TLGetInfo null", [&] { return api.TLGetInfo(nullptr, gentl::kTLId, &type, text, &size); }, gentl::kInvalidHandle},
      {"TLGetInfo interface", [&] { return api.TLGetInfo(iface, gentl::kTLId, &type, text, &size); }, gentl::kInvalidHandle},
      {"IFGetNumDevices system", [&] { return api.IFGetNumDevices(tl, &count); }, gentl::kInvalidHandle},
      {"DevGetInfo interface", [&] { return api.DevGetInfo(iface, gentl::kDevId, &type, text, &size); }, gentl::kInvalidHandle},
      {"DSQueueBuffer system", [&] { return api.DSQueueBuffer(tl, nullptr); }, gentl::kInvalidHandle},
      {"GCReadPort stray", [&] { return api.GCReadPort(&size, 0, text, &size); }, gentl::kInvalidHandle},
      {"EventKill system", [&] { return api.EventKill(tl); }, gentl::kInvalidHandle},
      {"closed device", [&] { return api.DevGetInfo(closed, gentl::kDevId, &type, text, &size); }, gentl::kInvalidHandle},
      {"unknown command", [&] { return api.TLGetInfo(tl, 999, &type, text, &size); }, gentl::kNotImplemented},
      {"null size", [&] { return api.TLGetInfo(tl, gentl::kTLId, &type, text, nullptr); }, gentl::kInvalidParameter},
      {"small buffer", [&] { return api.TLGetInfo(tl, gentl::kTLId, &type, text, &tiny); }, gentl::kBufferTooSmall},
      {"device index", [&] { return api.IFGetDeviceID(iface, 9999, text, &size); }, gentl::kInvalidIndex},
      {"device ID", [&] { return api.IFOpenDevice(iface, "nobody_#0", gentl::kOpenExclusive, &handle); }, gentl::kInvalidId},
      {"read-only open", [&] { return api.IFOpenDevice(iface, id.c_str(), gentl::kOpenReadOnly, &handle); }, gentl::kAccessDenied},
      {"interface ID", [&] { return api.TLOpenInterface(tl, "FireWire", &handle); }, gentl::kInvalidId},
      {"second interface", [&] { return api.TLOpenInterface(tl, "USB", &handle); }, gentl::kResourceInUse},
      {"second system", [&] { return api.TLOpen(&handle); }, gentl::kResourceInUse},
      {"module port write", [&] { return api.GCWritePort(tl, 0x1000, text, &tiny); }, gentl::kAccessDenied},
  };
  for (const auto &c : calls) {
    EXPECT_EQ(c.run(), c.expected) << c.call;
    Error last = 0;
    char message[256] = {};
    size_t messageSize = sizeof message;
    EXPECT_EQ(api.GCGetLastError(&last, message, &messageSize), gentl::kSuccess);
    EXPECT_EQ(last, c.expected) << c.call;
    EXPECT_GT(std::strlen(message), 0u) << c.call;
  }
  EXPECT_EQ(tiny, std::strlen("ZAR_USB") + 1); // the size a too-small buffer needs
}

TEST_F(Producer, CloseLibEndsEverythingAndInitLibStartsAgain) {
  ASSERT_NE(Open(Plug(zar_test::StreamConfig("CLOSE"))), nullptr);
  EXPECT_EQ(api.GCCloseLib(), gentl::kSuccess);
  EXPECT_EQ(api.TLOpen(&tl), gentl::kNotInitialized);
  EXPECT_EQ(api.GCInitLib(), gentl::kSuccess);
  EXPECT_EQ(api.GCInitLib(), gentl::kResourceInUse);
  tl = nullptr;
  EXPECT_EQ(api.TLOpen(&tl), gentl::kSuccess);
}

// ---- Two processes, each holding one camera --------------------------------------

// Holds the camera of the first ID, streams from it, and finds the second
// camera busy; then waits for the test to end it.
int HoldOneCamera(const std::vector<std::string> &arguments) {
  const gentl::Producer *api = Api();
  Handle tl = nullptr, iface = nullptr, device = nullptr;
  if (api == nullptr || api->GCInitLib() != 0 || api->TLOpen(&tl) != 0 || api->TLOpenInterface(tl, "USB", &iface) != 0)
    return 2;
  const std::string &mine = arguments[0], &other = arguments[1];
  const std::filesystem::path folder = arguments[2];
  if (!WaitListed(iface, mine) || api->IFOpenDevice(iface, mine.c_str(), gentl::kOpenExclusive, &device) != 0) return 3;
  if (!StreamFrames(device, false, 3).empty()) return 4;
  zar_test::Touch(folder / "held");
  if (!zar_test::AwaitFile(folder / "other held")) return 5;
  Handle refused = nullptr;
  if (DeviceAccess(iface, other) != gentl::kAccessBusy ||
      api->IFOpenDevice(iface, other.c_str(), gentl::kOpenExclusive, &refused) != gentl::kAccessDenied)
    return 6;
  api->TLClose(tl);
  api->GCCloseLib();
  return 0;
}
[[maybe_unused]] const bool registered = zar_test::RegisterHelper("gentl-hold", HoldOneCamera);

TEST_F(Producer, TwoProcessesEachHoldOneCamera) {
  const std::string mine = Plug(zar_test::StreamConfig("MINE")), theirs = Plug(zar_test::StreamConfig("THEIRS"));
  zar_test::TempDir folder;
  zar_test::HelperProcess helper("gentl-hold", {theirs, mine, folder.Path().string()});
  ASSERT_TRUE(helper.Started());
  ASSERT_TRUE(zar_test::AwaitFile(folder / "held"));
  Handle device = Open(mine);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(StreamFrames(device, true, 3), "");
  EXPECT_EQ(DeviceAccess(iface, theirs), gentl::kAccessBusy);
  Handle refused = nullptr;
  EXPECT_EQ(api.IFOpenDevice(iface, theirs.c_str(), gentl::kOpenExclusive, &refused), gentl::kAccessDenied);
  zar_test::Touch(folder / "other held");
  EXPECT_EQ(helper.Wait(), 0);
}

} // namespace
