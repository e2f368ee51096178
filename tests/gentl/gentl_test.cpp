// ZAR_USB.cti as a GenTL consumer sees it, loaded from beside this program.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
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
#include <arv.h>
#endif

namespace {

// A wait that something else must end: finite, so that a failed ending is reported, not hung on.
constexpr uint64_t kUntilEnded = 60000;

using gentl::Error, gentl::Handle;
namespace emulator = oxa::ZarUsb::emulator; namespace reg = emulator::reg;

const gentl::Producer &Api() {
  static std::string why;
  static const gentl::Producer *api = gentl::LoadProducer(gentl::ProducerPath(), &why), none{};
  return api != nullptr ? *api : none;
}

// An info answer as text, or as a number of the given type and size; "<error>" or all ones otherwise.
template <class Call> std::string Text(Call call) {
  char text[1024] = {}; size_t size = sizeof text; int32_t type = 0;
  return call(&type, text, &size) == gentl::kSuccess && type == gentl::kString ? text : "<error>";
}
template <class Call> uint64_t Number(int32_t type, Call call) {
  uint64_t value = 0; size_t size = sizeof value; int32_t answered = 0;
  const size_t expected = type == gentl::kBool8 ? 1 : type == gentl::kInt32 || type == gentl::kUInt32 ? 4 : 8;
  return call(&answered, &value, &size) == gentl::kSuccess && answered == type && size == expected ? value : ~0ULL;
}
auto Info(gentl::InfoFn info, Handle h, int32_t what) { return [=](auto... out) { return info(h, what, out...); }; }
auto DeviceInfo(Handle iface, const std::string &id, int32_t command) {
  return [=](auto... out) { return Api().IFGetDeviceInfo(iface, id.c_str(), command, out...); };
}

bool WaitListed(Handle iface, const std::string &id, bool listed = true) {
  return zar_test::WaitFor([&] {
    uint8_t changed = 0; uint32_t count = 0; bool found = false;
    Api().IFUpdateDeviceList(iface, &changed, 1000);
    Api().IFGetNumDevices(iface, &count);
    for (char name[512]; count-- > 0;) {
      size_t size = sizeof name;
      found |= Api().IFGetDeviceID(iface, count, name, &size) == gentl::kSuccess && id == name;
    }
    return found == listed;
  });
}

uint32_t ReadRegister(Handle port, uint64_t address) {
  uint32_t value = 0; size_t size = sizeof value;
  return Api().GCReadPort(port, address, &value, &size) == gentl::kSuccess && size == sizeof value ? value : ~0u;
}
Error WriteRegister(Handle port, uint64_t address, uint32_t value) {
  size_t size = sizeof value;
  return Api().GCWritePort(port, address, &value, &size);
}

// Whether the description file a port's URL names ("local:///name;address;length") describes the feature.
bool Describing(Handle port, const std::string &feature) {
  const std::string url = Text([&](auto... out) { return Api().GCGetPortURLInfo(port, 0, gentl::kUrl, out...); });
  const size_t first = url.find(';'), second = url.find(';', first + 1);
  if (url.rfind("local:", 0) != 0 || second == std::string::npos) return false;
  size_t length = std::stoull(url.substr(second + 1), nullptr, 16);
  std::string xml(length, '\0');
  if (Api().GCReadPort(port, std::stoull(url.substr(first + 1), nullptr, 16), xml.data(), &length) != 0) return false;
#ifdef ZAR_GENTL_TEST_ARAVIS
  g_autoptr(ArvGc) genicam = arv_gc_new(nullptr, xml.data(), xml.size());
  return genicam != nullptr && arv_gc_get_node(genicam, "Root") != nullptr &&
         ARV_IS_GC_FEATURE_NODE(arv_gc_get_node(genicam, feature.c_str()));
#else
  return xml.rfind("<?xml", 0) == 0 && xml.find("</RegisterDescription>") != std::string::npos &&
         xml.find("Name=\"" + feature + "\"") != std::string::npos;
#endif
}

// A stream, its buffers (`count` of the payload size announced, none queued) and its new-buffer event.
struct Acquisition {
  Handle stream = nullptr, event = nullptr;
  std::vector<Handle> buffers;
  std::vector<std::vector<uint8_t>> memory; // the application's memory, when the buffers are in it
  Acquisition(Handle device, size_t count, bool applicationMemory = false) {
    const gentl::Producer &api = Api();
    if (api.DevOpenDataStream(device, "Stream0", &stream) != 0 ||
        api.GCRegisterEvent(stream, gentl::kEventNewBuffer, &event) != 0)
      return;
    const size_t payload = Count(gentl::kStreamPayloadSize);
    if (applicationMemory) memory.assign(count, std::vector<uint8_t>(payload));
    for (size_t i = 0; i < count; ++i) {
      Handle buffer = nullptr;
      if ((applicationMemory ? api.DSAnnounceBuffer(stream, memory[i].data(), payload, User(i), &buffer)
                             : api.DSAllocAndAnnounceBuffer(stream, payload, User(i), &buffer)) == gentl::kSuccess)
        buffers.push_back(buffer);
    }
  }
  ~Acquisition() { Api().DSClose(stream); } // before the application's memory goes
  bool Ready(size_t count) const { return event != nullptr && buffers.size() == count; }
  static void *User(size_t index) { return reinterpret_cast<void *>(uintptr_t{0x1000} + index); }
  bool QueueAll() const {
    return std::all_of(buffers.begin(), buffers.end(), [&](Handle b) { return Api().DSQueueBuffer(stream, b) == 0; });
  }
  Error Wait(uint64_t timeoutMs, gentl::NewBufferData *data = nullptr) const {
    gentl::NewBufferData got{}; size_t size = sizeof got;
    return Api().EventGetData(event, data != nullptr ? data : &got, &size, timeoutMs);
  }
  uint64_t Count(int32_t what, int32_t type = gentl::kSizeT) const {
    return Number(type, Info(Api().DSGetInfo, stream, what));
  }
  uint64_t Of(Handle buffer, int32_t what, int32_t type) const {
    return Number(type, [&](auto... out) { return Api().DSGetBufferInfo(stream, buffer, what, out...); });
  }
};

// Streams and checks `frames` frames, then stops, flushes and revokes; empty on success, else what went wrong.
std::string StreamFrames(const Acquisition &a, uint64_t frames) {
  const gentl::Producer &api = Api();
  if (!a.QueueAll() || api.DSStartAcquisition(a.stream, 0, gentl::kInfinite) != 0) return "start";
  const uint64_t payload = a.Count(gentl::kStreamPayloadSize);
  for (uint64_t frame = 1; frame <= frames; ++frame) {
    gentl::NewBufferData data{};
    if (const Error got = a.Wait(5000, &data)) return "EventGetData " + std::to_string(got);
    const size_t index = std::find(a.buffers.begin(), a.buffers.end(), data.buffer) - a.buffers.begin();
    const auto *base = reinterpret_cast<const uint8_t *>(a.Of(data.buffer, gentl::kBufBase, gentl::kPtr));
    if (index == a.buffers.size() || data.user != Acquisition::User(index)) return "unknown buffer or user pointer";
    if (!a.memory.empty() && base != a.memory[index].data()) return "the base is not the application's memory";
    const std::tuple<int32_t, int32_t, uint64_t> answers[] = {
        {gentl::kBufSize, gentl::kSizeT, payload}, {gentl::kBufSizeFilled, gentl::kSizeT, payload},
        {gentl::kBufPixelFormat, gentl::kUInt64, emulator::kMono8}, {gentl::kBufPayloadType, gentl::kSizeT, 1},
        {gentl::kBufFrameId, gentl::kUInt64, frame}, {gentl::kBufNewData, gentl::kBool8, 1},
        {gentl::kBufQueued, gentl::kBool8, 0}, {gentl::kBufIncomplete, gentl::kBool8, 0}};
    for (const auto &[command, type, expected] : answers)
      if (a.Of(data.buffer, command, type) != expected)
        return "frame " + std::to_string(frame) + ": info " + std::to_string(command);
    // Read in this order, a buffer the camera fills meanwhile is counted in neither.
    const uint64_t awaiting = a.Count(gentl::kStreamAwaitDelivery);
    if (awaiting + a.Count(gentl::kStreamQueued) > a.buffers.size() - 1)
      return "the delivered buffer still counts as queued or waiting";
    const auto width = static_cast<uint32_t>(a.Of(data.buffer, gentl::kBufWidth, gentl::kSizeT));
    const auto height = static_cast<uint32_t>(a.Of(data.buffer, gentl::kBufHeight, gentl::kSizeT));
    const std::string mismatch = zar_test::PatternMismatch(base, width, height, frame);
    if (!mismatch.empty() || api.DSQueueBuffer(a.stream, data.buffer) != 0) return mismatch + " or requeue";
  }
  if (api.DSStopAcquisition(a.stream, 0) != 0 ||
      a.Count(gentl::kStreamDelivered, gentl::kUInt64) != frames + a.Count(gentl::kStreamAwaitDelivery) ||
      a.Count(gentl::kStreamAnnounced) != a.buffers.size() ||
      api.DSFlushQueue(a.stream, gentl::kQueueAllDiscard) != gentl::kSuccess ||
      a.Count(gentl::kStreamQueued) + a.Count(gentl::kStreamAwaitDelivery) != 0)
    return "stop, counts or flush";
  for (size_t i = 0; i < a.buffers.size(); ++i) {
    void *base = nullptr, *user = nullptr;
    if (api.DSRevokeBuffer(a.stream, a.buffers[i], &base, &user) != 0 || user != Acquisition::User(i) ||
        base != (a.memory.empty() ? nullptr : a.memory[i].data()))
      return "revoke";
  }
  return {};
}

class Producer : public ::testing::Test {
protected:
  // The build tree's description files, where an installation has them.
  static void SetUpTestSuite() {
    const auto bin = std::filesystem::path(gentl::ProducerPath()).parent_path();
    zar_test::SetEnv("GENICAM_ROOT", (bin.parent_path() / "share" / "zar-usb" / "genicam").string().c_str());
    if (Api().GCInitLib != nullptr) Api().GCInitLib();
  }
  void SetUp() override {
    std::string missing; uint8_t changed = 0;
    ASSERT_NE(gentl::LoadProducer(gentl::ProducerPath(), &missing), nullptr) << missing;
    ASSERT_EQ(api.TLOpen(&tl), gentl::kSuccess);
    ASSERT_EQ(api.TLUpdateInterfaceList(tl, &changed, 1000), gentl::kSuccess);
    ASSERT_EQ(api.TLOpenInterface(tl, "USB", &iface), gentl::kSuccess);
  }
  void TearDown() override { if (tl != nullptr) api.TLClose(tl); }
  std::string Plug(const emulator::CameraConfig &config, uint32_t *slot = nullptr) {
    if (const uint32_t plugged = cameras.Plug(config); slot != nullptr) *slot = plugged;
    return WaitListed(iface, zar_test::CameraName(config)) ? zar_test::CameraName(config) : "<not listed>";
  }
  Handle Open(const std::string &id) {
    Handle device = nullptr;
    return api.IFOpenDevice(iface, id.c_str(), gentl::kOpenExclusive, &device) == gentl::kSuccess ? device : nullptr;
  }

  const gentl::Producer &api = Api();
  Handle tl = nullptr, iface = nullptr; zar_test::PluggedCameras cameras;
};

TEST_F(Producer, WalksTheTreeAnswersEveryModulesInfoAndErrorsForBadCalls) {
  emulator::CameraConfig named = zar_test::StreamConfig("TREE");
  std::tie(named.userName, named.model, named.version) = std::tuple("Left", "ZC2000", "2.0");
  const std::string id = Plug(named);
  ASSERT_EQ(id, "Left_#" + named.serial);
  uint32_t interfaces = 0; char ifaceId[16] = {}; size_t ifaceIdSize = sizeof ifaceId;
  EXPECT_TRUE(api.TLGetNumInterfaces(tl, &interfaces) == gentl::kSuccess && interfaces == 1);
  EXPECT_TRUE(api.TLGetInterfaceID(tl, 0, ifaceId, &ifaceIdSize) == gentl::kSuccess && ifaceId == std::string("USB"));
  const std::vector<std::pair<int32_t, std::string>> system = {
      {gentl::kTLId, "ZAR_USB"}, {gentl::kTLVendor, "RK46"}, {gentl::kTLModel, "ZAR_USB"},
      {gentl::kTLType, "Custom"}, {gentl::kTLName, "ZAR_USB.cti"}, {gentl::kTLDisplayName, "RK46 ZAR_USB"}};
  for (const auto &[command, expected] : system) EXPECT_EQ(Text(Info(api.TLGetInfo, tl, command)), expected) << command;
  EXPECT_NE(Text(Info(api.TLGetInfo, tl, gentl::kTLPath)).find("ZAR_USB.cti"), std::string::npos);
  EXPECT_EQ(Text(Info(api.IFGetInfo, iface, gentl::kIfId)), "USB");
  EXPECT_EQ(Text(Info(api.IFGetInfo, iface, gentl::kIfType)), "Custom");
  // The same answers from the interface, before and after the camera is opened, and from the device.
  const std::vector<std::pair<int32_t, std::string>> camera = {
      {gentl::kDevId, id},          {gentl::kDevVendor, "RK46"},  {gentl::kDevModel, "ZC2000"},
      {gentl::kDevSerial, named.serial}, {gentl::kDevVersion, "2.0"}, {gentl::kDevType, "Custom"},
      {gentl::kDevUserName, "Left"}, {gentl::kDevDisplayName, "RK46 ZC2000 (" + named.serial + ")"}};
  for (const auto &[command, expected] : camera) EXPECT_EQ(Text(DeviceInfo(iface, id, command)), expected) << command;
  EXPECT_EQ(Number(gentl::kInt32, DeviceInfo(iface, id, gentl::kDevAccess)), gentl::kAccessReadWrite);
  Handle device = Open(id), second = nullptr, stream = nullptr, port = nullptr;
  ASSERT_NE(device, nullptr);
  for (const auto &[command, expected] : camera) {
    EXPECT_EQ(Text(DeviceInfo(iface, id, command)), expected) << command;
    EXPECT_EQ(Text(Info(api.DevGetInfo, device, command)), expected) << command;
  }
  EXPECT_EQ(api.IFOpenDevice(iface, id.c_str(), gentl::kOpenExclusive, &second), gentl::kResourceInUse);
  char streamId[16] = {}; size_t streamIdSize = sizeof streamId;
  ASSERT_EQ(api.DevGetDataStreamID(device, 0, streamId, &streamIdSize), gentl::kSuccess);
  ASSERT_EQ(api.DevOpenDataStream(device, streamId, &stream), gentl::kSuccess);
  ASSERT_EQ(api.DevGetPort(device, &port), gentl::kSuccess);
  ASSERT_EQ(WriteRegister(port, reg::kHeight, 6), gentl::kSuccess);
  EXPECT_EQ(Text(Info(api.DSGetInfo, stream, gentl::kStreamId)), "Stream0");
  const std::tuple<gentl::InfoFn, Handle, int32_t, int32_t, uint64_t> numbers[] = {
      {api.TLGetInfo, tl, gentl::kTLVersionMajor, gentl::kUInt32, 1},
      {api.TLGetInfo, tl, gentl::kTLVersionMinor, gentl::kUInt32, 5},
      {api.TLGetInfo, tl, gentl::kTLEncoding, gentl::kInt32, 0},
      {api.DevGetInfo, device, gentl::kDevAccess, gentl::kInt32, gentl::kAccessOpenReadWrite},
      {api.DevGetInfo, device, gentl::kDevTimestampFrequency, gentl::kUInt64, 1000000},
      {api.DSGetInfo, stream, gentl::kStreamGrabbing, gentl::kBool8, 0},
      {api.DSGetInfo, stream, gentl::kStreamPayloadSize, gentl::kSizeT, named.width * 6}};
  for (const auto &[info, handle, command, type, expected] : numbers)
    EXPECT_EQ(Number(type, Info(info, handle, command)), expected) << command;
  EXPECT_EQ(Number(gentl::kInt32, DeviceInfo(iface, id, gentl::kDevAccess)), gentl::kAccessOpenReadWrite);

  // Each module's port, with a description file of its own; the camera's registers through the remote port.
  const std::tuple<Handle, const char *, const char *> ports[] = {
      {tl, "TLSystem", "TLID"}, {iface, "TLInterface", "DeviceSelector"}, {device, "TLDevice", "DeviceSerialNumber"},
      {stream, "TLDataStream", "StreamAnnouncedBufferCount"}, {port, "Device", "Width"}};
  for (const auto &[handle, module, feature] : ports) {
    EXPECT_EQ(Text(Info(api.GCGetPortInfo, handle, gentl::kPortModule)), module);
    EXPECT_TRUE(Describing(handle, feature)) << module;
  }
  EXPECT_EQ(Text(Info(api.GCGetPortInfo, port, gentl::kPortName)), "Device");
  const std::pair<uint64_t, uint32_t> registers[] = {{reg::kWidth, named.width}, {reg::kHeight, 6},
      {reg::kPixelFormat, emulator::kMono8}, {reg::kPayloadSize, named.width * 6}};
  for (const auto &[address, expected] : registers) EXPECT_EQ(ReadRegister(port, address), expected) << address;
  EXPECT_EQ(WriteRegister(port, reg::kPayloadSize, 6), gentl::kAccessDenied); // read-only, as the library says
  EXPECT_EQ(api.DevClose(device), gentl::kSuccess);
  EXPECT_EQ(Number(gentl::kInt32, DeviceInfo(iface, id, gentl::kDevAccess)), gentl::kAccessReadWrite);

  // Bad calls (the closed device's too) answer errors, recorded as the thread's last; GCCloseLib ends everything.
  char text[64]; size_t size = sizeof text, tiny = 2; int32_t type = 0; Handle handle = nullptr;
  const Acquisition a(Open(id), 1); ASSERT_TRUE(a.Ready(1));
  const std::pair<std::function<Error()>, Error> calls[] = {
      {[&] { return api.TLGetInfo(nullptr, gentl::kTLId, &type, text, &size); }, gentl::kInvalidHandle},
      {[&] { return api.DSQueueBuffer(tl, nullptr); }, gentl::kInvalidHandle},
      {[&] { return api.DSQueueBuffer(a.stream, &size); }, gentl::kInvalidHandle},
      {[&] { return api.GCReadPort(&size, 0, text, &size); }, gentl::kInvalidHandle},
      {[&] { return api.DevGetInfo(device, gentl::kDevId, &type, text, &size); }, gentl::kInvalidHandle},
      {[&] { return api.TLGetInfo(tl, 999, &type, text, &size); }, gentl::kNotImplemented},
      {[&] { return api.TLGetInfo(tl, gentl::kTLId, &type, text, nullptr); }, gentl::kInvalidParameter},
      {[&] { return api.TLGetInfo(tl, gentl::kTLId, &type, text, &tiny); }, gentl::kBufferTooSmall},
      {[&] { return api.IFGetDeviceID(iface, 9999, text, &size); }, gentl::kInvalidIndex},
      {[&] { return api.IFOpenDevice(iface, "nobody_#0", gentl::kOpenExclusive, &handle); }, gentl::kInvalidId},
      {[&] { return api.IFOpenDevice(iface, id.c_str(), gentl::kOpenReadOnly, &handle); }, gentl::kAccessDenied},
      {[&] { return api.TLOpen(&handle); }, gentl::kResourceInUse},
      {[&] { return api.GCWritePort(tl, 0x1000, text, &tiny); }, gentl::kAccessDenied},
      {[&] { return api.DSFlushQueue(a.stream, 5); }, gentl::kInvalidParameter},
      {[&] { return api.DSStartAcquisition(a.stream, 0, 0); }, gentl::kInvalidParameter}};
  for (const auto &[call, expected] : calls) {
    Error last = 0; char message[256] = {}; size_t messageSize = sizeof message;
    EXPECT_EQ(call(), expected);
    EXPECT_TRUE(api.GCGetLastError(&last, message, &messageSize) == gentl::kSuccess && last == expected && *message)
        << "the last error " << last << " " << message;
  }
  EXPECT_EQ(tiny, std::strlen("ZAR_USB") + 1); // the size a too-small buffer needs
  EXPECT_EQ(api.GCCloseLib(), gentl::kSuccess);
  EXPECT_EQ(api.TLOpen(&handle), gentl::kNotInitialized);
  EXPECT_EQ(api.GCInitLib(), gentl::kSuccess);
  EXPECT_EQ(api.GCInitLib(), gentl::kResourceInUse);
  tl = nullptr;
}

// A kill ends one wait, pending or the next, at once and costs no frame: none is lost, none repeated.
TEST_F(Producer, EventKillEndsOneWaitAndCostsNoFrame) {
  Handle device = Open(Plug(zar_test::StreamConfig("KILL"))), port = nullptr;
  ASSERT_EQ(api.DevGetPort(device, &port), gentl::kSuccess);
  ASSERT_EQ(WriteRegister(port, reg::kTriggerMode, 1), gentl::kSuccess); // no frame until triggered
  const Acquisition a(device, 4); ASSERT_TRUE(a.Ready(4) && a.QueueAll());
  ASSERT_EQ(api.DSStartAcquisition(a.stream, 0, gentl::kInfinite), gentl::kSuccess);
  auto pending = std::async(std::launch::async, [&] { return a.Wait(kUntilEnded); });
  ASSERT_EQ(pending.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout); // nothing else ends it
  EXPECT_EQ(api.EventKill(a.event), gentl::kSuccess);
  ASSERT_EQ(pending.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(pending.get(), gentl::kAbort);
  EXPECT_EQ(a.Wait(30), gentl::kTimeout);
  EXPECT_EQ(a.Count(gentl::kStreamQueued) + a.Count(gentl::kStreamDelivered, gentl::kUInt64), 4u);
  // Free-running, each kill from another thread ends one wait, pending or the next; every frame comes once.
  ASSERT_EQ(WriteRegister(port, reg::kTriggerMode, 0), gentl::kSuccess);
  gentl::NewBufferData data{}; std::atomic<int> calls{0};
  auto killer = std::async(std::launch::async, [&] {
    for (int kill = 0, seen = 0; kill < 50; ++kill, seen = calls)
      if (!zar_test::WaitFor([&] { return calls > seen; }) || api.EventKill(a.event) != gentl::kSuccess) return false;
    return true;
  });
  int aborts = 0;
  for (uint64_t next = 1; (next < 300 || aborts < 50) && next < 100000; ++calls) {
    const Error got = a.Wait(5000, &data);
    aborts += got == gentl::kAbort;
    if (got == gentl::kAbort) continue;
    ASSERT_EQ(got, gentl::kSuccess);
    ASSERT_EQ(a.Of(data.buffer, gentl::kBufFrameId, gentl::kUInt64), next++);
    ASSERT_EQ(api.DSQueueBuffer(a.stream, data.buffer), gentl::kSuccess);
  }
  EXPECT_TRUE(killer.get());
  EXPECT_EQ(aborts, 50);
}

// Buffers through each flush; one queued on another thread reaches a pending wait; the stream stops after its count.
TEST_F(Producer, FlushesMoveBuffersBetweenInputPoolAndOutputQueue) {
  const Acquisition a(Open(Plug(zar_test::StreamConfig("FLUSH"))), 3); ASSERT_TRUE(a.Ready(3));
  ASSERT_EQ(api.DSStartAcquisition(a.stream, 0, 2), gentl::kSuccess);
  auto pending = std::async(std::launch::async, [&] { return a.Wait(20000); });
  ASSERT_EQ(pending.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout); // nothing queued yet
  ASSERT_TRUE(std::async(std::launch::async, [&] { return a.QueueAll(); }).get());
  ASSERT_EQ(pending.get(), gentl::kSuccess);
  // Two frames came, the first to the consumer; the third buffer stays queued.
  ASSERT_TRUE(zar_test::WaitFor([&] { return a.Count(gentl::kStreamAwaitDelivery) == 1; }));
  EXPECT_EQ(a.Count(gentl::kStreamGrabbing, gentl::kBool8), 0u);
  EXPECT_EQ(a.Count(gentl::kStreamDelivered, gentl::kUInt64), 2u);
  const std::tuple<int32_t, uint64_t, uint64_t> flushes[] = { // operation, then queued and awaiting delivery
      {gentl::kQueueUnqueuedToInput, 2, 1}, {gentl::kQueueInputToOutput, 0, 3}, {gentl::kQueueOutputDiscard, 0, 0},
      {gentl::kQueueAllToInput, 3, 0}, {gentl::kQueueAllDiscard, 0, 0}};
  for (const auto &[operation, queued, awaiting] : flushes) {
    ASSERT_EQ(api.DSFlushQueue(a.stream, operation), gentl::kSuccess);
    EXPECT_EQ(a.Count(gentl::kStreamQueued), queued) << operation;
    EXPECT_EQ(a.Count(gentl::kStreamAwaitDelivery), awaiting) << operation;
    EXPECT_EQ(Number(gentl::kSizeT, Info(api.EventGetInfo, a.event, gentl::kEventNumInQueue)), awaiting);
    if (operation == gentl::kQueueInputToOutput) { // the unfilled buffer waits behind the filled one, as such
      EXPECT_EQ(a.Of(a.buffers[1], gentl::kBufNewData, gentl::kBool8), 1u);
      EXPECT_EQ(a.Of(a.buffers[2], gentl::kBufNewData, gentl::kBool8), 0u);
    }
  }
}

// A device event reaches its event; a close or unplug ends the waits for frames and device events, using nothing freed.
TEST_F(Producer, CloseOrUnplugEndsTheWaitsOnADevice) {
  for (const bool unplug : {false, false, true}) {
    uint32_t slot = 0; const std::string id = Plug(zar_test::StreamConfig("END"), &slot);
    Handle device = Open(id), remoteEvent = nullptr, port = nullptr;
    ASSERT_EQ(api.GCRegisterEvent(device, gentl::kEventRemoteDevice, &remoteEvent), gentl::kSuccess);
    const uint8_t payload[] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(emulator::RaiseEvent(slot, 0x9001, payload, sizeof payload));
    uint8_t data[256] = {}; size_t size = sizeof data;
    ASSERT_EQ(api.EventGetData(remoteEvent, data, &size, 10000), gentl::kSuccess);
    EXPECT_EQ(Number(gentl::kUInt64, [&](auto... out) {
      return api.EventGetDataInfo(remoteEvent, data, size, gentl::kEventDataNumId, out...); }), 0x9001u);
    EXPECT_TRUE(size == sizeof(uint64_t) + sizeof payload && !std::memcmp(data + sizeof(uint64_t), payload, 5));

    const Acquisition a(device, 4); ASSERT_TRUE(a.Ready(4) && a.QueueAll());
    ASSERT_EQ(api.DSStartAcquisition(a.stream, 0, gentl::kInfinite), gentl::kSuccess);
    std::atomic<int> frames{0};
    auto streaming = std::async(std::launch::async, [&] { // frames taken and requeued until a call fails
      for (gentl::NewBufferData frame{};; ++frames) {
        void *base = nullptr; size_t baseSize = sizeof base; int32_t type = 0;
        Error error = a.Wait(kUntilEnded, &frame);
        if (!error) error = api.DSGetBufferInfo(a.stream, frame.buffer, gentl::kBufBase, &type, &base, &baseSize);
        if (!error) error = api.DSQueueBuffer(a.stream, frame.buffer);
        if (error) return error;
      }
    });
    auto deviceEvent =
        std::async(std::launch::async, [&] { return api.EventGetData(remoteEvent, data, &size, kUntilEnded); });
    ASSERT_TRUE(zar_test::WaitFor([&] { return frames >= 5; }));
    if (unplug) cameras.Unplug(slot);
    else EXPECT_EQ(api.DevClose(device), gentl::kSuccess);
    ASSERT_EQ(streaming.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    ASSERT_EQ(deviceEvent.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    for (const Error ended : {streaming.get(), deviceEvent.get()}) // the frames' wait, then the device event's
      EXPECT_TRUE(unplug ? ended == gentl::kIo : ended == gentl::kInvalidHandle || ended == gentl::kAbort) << ended;
    if (!unplug) continue;
    ASSERT_EQ(api.DevGetPort(device, &port), gentl::kSuccess);
    EXPECT_EQ(ReadRegister(port, reg::kWidth), ~0u);
    EXPECT_EQ(Number(gentl::kInt32, Info(api.DevGetInfo, device, gentl::kDevAccess)), gentl::kAccessNoAccess);
    EXPECT_EQ(api.DevClose(device), gentl::kSuccess);
    EXPECT_TRUE(WaitListed(iface, id, false));
  }
}

// Two processes, each holding one camera and streaming from it: the helper, in the producer's memory.
int HoldOneCamera(const std::vector<std::string> &arguments) {
  const gentl::Producer &api = Api();
  Handle tl = nullptr, iface = nullptr, device = nullptr;
  if (api.GCInitLib == nullptr || api.GCInitLib() != 0 || api.TLOpen(&tl) != 0 ||
      api.TLOpenInterface(tl, "USB", &iface) != 0 || !WaitListed(iface, arguments[0]) ||
      api.IFOpenDevice(iface, arguments[0].c_str(), gentl::kOpenExclusive, &device) != 0)
    return 2;
  if (const std::string failure = StreamFrames(Acquisition(device, 4), 20); !failure.empty()) {
    std::fprintf(stderr, "streaming in the producer's memory: %s\n", failure.c_str());
    return 3;
  }
  zar_test::Touch(std::filesystem::path(arguments[1]) / "held");
  if (!zar_test::AwaitFile(std::filesystem::path(arguments[1]) / "done")) return 4;
  api.TLClose(tl); return api.GCCloseLib();
}
[[maybe_unused]] const bool registered = zar_test::RegisterHelper("gentl-hold", HoldOneCamera);

TEST_F(Producer, TwoProcessesEachHoldOneCamera) {
  const std::string mine = Plug(zar_test::StreamConfig("MINE")), theirs = Plug(zar_test::StreamConfig("THEIRS"));
  zar_test::TempDir folder; zar_test::HelperProcess helper("gentl-hold", {theirs, folder.Path().string()});
  ASSERT_TRUE(helper.Started());
  ASSERT_TRUE(zar_test::AwaitFile(folder / "held"));
  EXPECT_EQ(StreamFrames(Acquisition(Open(mine), 4, true), 20), ""); // in the application's memory
  Handle refused = nullptr;
  EXPECT_EQ(Number(gentl::kInt32, DeviceInfo(iface, theirs, gentl::kDevAccess)), gentl::kAccessBusy);
  EXPECT_EQ(api.IFOpenDevice(iface, theirs.c_str(), gentl::kOpenExclusive, &refused), gentl::kAccessDenied);
  zar_test::Touch(folder / "done");
  EXPECT_EQ(helper.Wait(), 0);
}

} // namespace
