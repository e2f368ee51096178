// Description files: the transport layer's, and the camera's chosen by
// vendor, model and version below GENICAM_ROOT; and the shipped files, whose
// registers must be the emulated camera's.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "environment.h"
#include "open_camera.h"
#include "os/child_process.h"
#include "test_main.h"

using namespace oxa::ZarUsb;

namespace {

std::filesystem::path ShippedTree() {
  return std::filesystem::path(os::ExecutablePath()).parent_path().parent_path() / "share" / "zar-usb" / "genicam";
}

// GENICAM_ROOT for one test, restored afterwards.
class GenicamRoot {
public:
  explicit GenicamRoot(const std::filesystem::path &root) { zar_test::SetEnv("GENICAM_ROOT", root.string().c_str()); }
  ~GenicamRoot() { zar_test::UnsetEnv("GENICAM_ROOT"); }
};

emulator::CameraConfig Camera(const std::string &vendor, const std::string &model, const std::string &version) {
  static int next = 0;
  emulator::CameraConfig config;
  config.vendor = vendor;
  config.model = model;
  config.version = version;
  config.serial = "XML" + std::to_string(++next);
  return config;
}

// The text DevGetXml hands over after a size query, and the two results.
struct Delivery {
  ZAR_STATUS query;
  uint32_t querySize;
  ZAR_STATUS copy;
  std::string text;
};

Delivery Deliver(ZAR_DEV_HANDLE device) {
  Delivery delivery{};
  delivery.query = DevGetXml(device, nullptr, &delivery.querySize);
  if (delivery.query != ZAR_ERR_INVALID_BUFFER_SIZE) return delivery;
  std::string buffer(delivery.querySize, 'x');
  uint32_t size = delivery.querySize;
  delivery.copy = DevGetXml(device, buffer.data(), &size);
  delivery.text = buffer.substr(0, size == 0 ? 0 : size - 1);
  return delivery;
}

class CameraDescription : public ::testing::Test {
protected:
  // Files in the camera folder, written with a lower-case "xml" so that the
  // lookup's "XML\Cameras" must match it without regard to case.
  void Files(const std::map<std::string, std::string> &files) {
    const auto folder = m_root / "xml" / "Cameras" / "oxa";
    std::filesystem::create_directories(folder);
    for (const auto &[name, text] : files) std::ofstream(folder / name, std::ios::binary) << text;
  }
  zar_test::TempDir m_root;
};

// The file is chosen by vendor, model and the version's major part, with the
// highest minor number (read as atol reads it), and handed over as Windows
// reads a file in text mode: CR LF as LF, a lone CR kept, Ctrl-Z the end;
// its size with a final line break doubled. What cannot be read as a file
// answers -11 and leaves the size alone.
TEST_F(CameraDescription, TheHighestMinorVersionIsReadAsText) {
  Files({{"V_M_2.1.xml", "one\n"}, {"V_M_2.9.xml", "nine\n"}, {"V_M_2.10.xml", "ten\n"}, {"V_M_3.4.xml", "3.4\n"},
         {"V_M_1.2.5.xml", "five\n"}, {"V_M_1.3.9.xml", "1.3\n"}, {"V_N_2.11.xml", "other model\n"},
         {"W_M_2.beta.xml", "beta\n"}, {"W_M_4.-1.xml", "negative\n"}, {"E_M_1.0.xml", ""},
         {"D_M_1.0.xml", "a\r\nb\n"}, {"R_M_1.0.xml", std::string("a\rb\r\r\nc\r\n\x1A after the end\n")},
         {"F_M_1.0.xml", "one\n"}});
  std::filesystem::create_directories(m_root.Path() / "xml" / "Cameras" / "oxa" / "F_M_1.1.xml");
  GenicamRoot root(m_root.Path());
  struct Case {
    const char *vendor, *model, *version;
    std::optional<std::string> text; // none: the file cannot be read
  };
  for (const Case &c : {Case{"V", "M", "2.13", "ten\n"}, Case{"V", "M", "1.2.7", "five\n"},
                        Case{"V", "M", "2.0", "ten\n"}, Case{"W", "M", "2.5", "beta\n"}, // a word counts as 0
                        Case{"W", "M", "4.1", std::nullopt},                              // a negative minor: never
                        Case{"W", "Q", "1.0", std::nullopt}, Case{"E", "M", "1.0", ""},
                        Case{"D", "M", "1.0", "a\nb\n"}, Case{"R", "M", "1.0", "a\rb\r\nc\n"},
                        Case{"F", "M", "1.0", std::nullopt}}) { // a folder has the highest minor
    SCOPED_TRACE(std::string(c.vendor) + "_" + c.model + " " + c.version);
    zar_test::OpenCamera camera(Camera(c.vendor, c.model, c.version));
    ASSERT_TRUE(camera.Ready());
    if (!c.text) {
      uint32_t size = 77;
      EXPECT_EQ(DevGetXml(camera.Device(), nullptr, &size), ZAR_ERR_FILE_IO);
      EXPECT_EQ(size, 77u);
      continue;
    }
    const Delivery got = Deliver(camera.Device());
    EXPECT_EQ(got.query, ZAR_ERR_INVALID_BUFFER_SIZE);
    EXPECT_EQ(got.querySize, c.text->size() + 1);
    EXPECT_EQ(got.copy, ZAR_SUCCESS);
    EXPECT_EQ(got.text, *c.text);
  }
}

TEST_F(CameraDescription, SmallBuffersGetTheStartOfTheText) {
  GenicamRoot root(m_root.Path());
  Files({{"S_M_1.0.xml", "0123456789\n"}});
  zar_test::OpenCamera camera(Camera("S", "M", "1.0"));
  char buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), 'x');
  uint32_t size = 5;
  ASSERT_EQ(DevGetXml(camera.Device(), buffer, &size), ZAR_SUCCESS) << "cut short, still success";
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(std::string(buffer, 5), std::string("0123\0", 5));
  EXPECT_EQ(buffer[5], 'x') << "nothing past the capacity";
  size = 0;
  EXPECT_EQ(DevGetXml(camera.Device(), buffer, &size), ZAR_ERR_INVALID_BUFFER_SIZE) << "no room: a size query";
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(DevGetXml(camera.Device(), buffer, nullptr), ZAR_ERR_INVALID_PARAMETER);
}

TEST_F(CameraDescription, WithoutGenicamRootThereIsNoFileName) {
  zar_test::UnsetEnv("GENICAM_ROOT");
  zar_test::OpenCamera camera(Camera("V", "M", "1.0"));
  uint32_t size = 99;
  EXPECT_EQ(DevGetXml(camera.Device(), nullptr, &size), ZAR_ERR_INVALID_FILENAME);
  EXPECT_EQ(size, 0u);
}

TEST(TransportLayerDescription, TheWholeFileOrItsSize) {
  const auto file = ShippedTree() / "xml" / "TransportLayers" / "oxa" / "ZARUSBRegs.xml";
  const std::string expected = zar_test::FileText(file);
  ASSERT_FALSE(expected.empty()) << file;
  ZAR_TL_HANDLE tl = nullptr;
  ASSERT_EQ(TLOpen(nullptr, nullptr, &tl), ZAR_SUCCESS);
  {
    GenicamRoot root(ShippedTree());
    uint32_t size = 0;
    EXPECT_EQ(TLGetXml(tl, nullptr, &size), ZAR_ERR_INVALID_BUFFER_SIZE);
    EXPECT_EQ(size, expected.size());
    std::string buffer(expected.size(), '\0');
    size = static_cast<uint32_t>(buffer.size() - 1);
    EXPECT_EQ(TLGetXml(tl, buffer.data(), &size), ZAR_ERR_INVALID_BUFFER_SIZE) << "one byte short";
    EXPECT_EQ(size, expected.size());
    EXPECT_EQ(TLGetXml(tl, nullptr, &size), ZAR_ERR_INVALID_PARAMETER) << "room enough, but no buffer";
    ASSERT_EQ(TLGetXml(tl, buffer.data(), &size), ZAR_SUCCESS);
    EXPECT_EQ(buffer, expected);
  }
  uint32_t size = 1000;
  EXPECT_EQ(TLGetXml(tl, nullptr, &size), ZAR_ERR_INVALID_FILENAME);
  EXPECT_EQ(size, 0u);
  zar_test::TempDir folderTree;
  std::filesystem::create_directories(folderTree.Path() / "xml" / "TransportLayers" / "oxa" / "ZARUSBRegs.xml");
  {
    GenicamRoot root(folderTree.Path());
    size = 1000;
    EXPECT_EQ(TLGetXml(tl, nullptr, &size), ZAR_ERR_INVALID_FILENAME) << "a folder where the file belongs";
    EXPECT_EQ(size, 0u);
  }
  TLClose(tl);
}

struct RegisterNode {
  uint64_t address;
  uint64_t length;
  std::string access;
  bool operator==(const RegisterNode &) const = default;
};
std::ostream &operator<<(std::ostream &out, const RegisterNode &node) {
  return out << std::hex << node.address << std::dec << " " << node.length << " " << node.access;
}

// The register nodes of a description file we ship: name to address,
// length and access mode.
std::map<std::string, RegisterNode> RegisterNodes(const std::string &xml) {
  std::map<std::string, RegisterNode> nodes;
  const auto element = [&](size_t from, const std::string &tag) {
    const size_t start = xml.find("<" + tag + ">", from) + tag.size() + 2;
    return xml.substr(start, xml.find("</" + tag + ">", start) - start);
  };
  for (const char *kind : {"<StringReg Name=\"", "<IntReg Name=\"", "<FloatReg Name=\"", "<Register Name=\""}) {
    for (size_t at = xml.find(kind); at != std::string::npos; at = xml.find(kind, at + 1)) {
      const size_t nameStart = at + std::strlen(kind);
      const std::string name = xml.substr(nameStart, xml.find('"', nameStart) - nameStart);
      nodes[name] = {std::stoull(element(at, "Address"), nullptr, 16), std::stoull(element(at, "Length")),
                     element(at, "AccessMode")};
    }
  }
  return nodes;
}

TEST(ShippedDescriptionFiles, DescribeExactlyTheEmulatedRegisters) {
  GenicamRoot root(ShippedTree());
  zar_test::OpenCamera camera(Camera("RK46", "ZC1000", "1.0"));
  ASSERT_TRUE(camera.Ready());
  const Delivery delivered = Deliver(camera.Device());
  ASSERT_EQ(delivered.copy, ZAR_SUCCESS);
  const auto nodes = RegisterNodes(delivered.text);
  const std::map<std::string, RegisterNode> expected = {
      {"DeviceVendorName", {emulator::reg::kVendorName, 32, "RO"}},
      {"DeviceModelName", {emulator::reg::kModelName, 32, "RO"}},
      {"DeviceVersion", {emulator::reg::kDeviceVersion, 32, "RO"}},
      {"DeviceSerialNumber", {emulator::reg::kSerialNumber, 32, "RO"}},
      {"DeviceUserID", {emulator::reg::kUserName, 16, "RW"}},
      {"DeviceIdentifierCode", {emulator::reg::kRegister90, 4, "RO"}},
      {"WidthReg", {emulator::reg::kWidth, 4, "RW"}},
      {"HeightReg", {emulator::reg::kHeight, 4, "RW"}},
      {"PixelFormatReg", {emulator::reg::kPixelFormat, 4, "RW"}},
      {"PayloadSize", {emulator::reg::kPayloadSize, 4, "RO"}},
      {"AcquisitionStartReg", {emulator::reg::kAcquisitionStart, 4, "WO"}},
      {"AcquisitionStopReg", {emulator::reg::kAcquisitionStop, 4, "WO"}},
      {"AcquisitionFrameRateMilli", {emulator::reg::kFrameRate, 4, "RW"}},
      {"TestEventGenerate", {emulator::reg::kTestEvent, 4, "WO"}},
      {"ExposureTimeReg", {emulator::reg::kExposureTime, 4, "RW"}},
      {"GainReg", {emulator::reg::kGain, 4, "RW"}},
      {"OffsetXReg", {emulator::reg::kOffsetX, 4, "RW"}},
      {"OffsetYReg", {emulator::reg::kOffsetY, 4, "RW"}},
      {"TriggerModeReg", {emulator::reg::kTriggerMode, 4, "RW"}},
      {"TriggerSourceReg", {emulator::reg::kTriggerSource, 4, "RW"}},
      {"TriggerSoftwareReg", {emulator::reg::kTriggerSoftware, 4, "WO"}},
      {"AcquisitionFrameRateReg", {emulator::reg::kFrameRateFloat, 4, "RW"}},
      {"UserMemory", {emulator::reg::kUserMemory, 4096, "RW"}}};
  EXPECT_EQ(nodes, expected);

  // The transport layer's file, read through the TL handle.
  const auto tlNodes = RegisterNodes(zar_test::FileText(ShippedTree() / "xml" / "TransportLayers" / "oxa" / "ZARUSBRegs.xml"));
  ASSERT_EQ(tlNodes.size(), 3u);
  uint32_t version = 0;
  uint64_t size = 4;
  ASSERT_EQ(GCReadData(camera.TL(), 0, tlNodes.at("TLVersion").address, &version, &size), ZAR_SUCCESS);
  EXPECT_EQ(version, 0x00010503u);
  EXPECT_EQ(tlNodes.at("TLUserData").address, emulator::reg::kTLUserData);
  EXPECT_EQ(tlNodes.at("TLUserData").length, 64u);
}

} // namespace
