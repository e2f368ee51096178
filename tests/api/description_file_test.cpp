// Description files below GENICAM_ROOT: the camera's chosen by version, the transport layer's, the shipped ones.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <optional>

#include "environment.h"
#include "open_camera.h"
#include "test_main.h"

using namespace oxa::ZarUsb;

namespace {

struct GenicamRoot { // GENICAM_ROOT for one test, unset afterwards
  explicit GenicamRoot(const std::filesystem::path &root) { zar_test::SetEnv("GENICAM_ROOT", root.string().c_str()); }
  ~GenicamRoot() { zar_test::UnsetEnv("GENICAM_ROOT"); }
};

emulator::CameraConfig Camera(const std::string &vendor, const std::string &model, const std::string &version) {
  static int next = 0;
  return {.vendor = vendor, .model = model, .version = version, .serial = "XML" + std::to_string(++next)};
}

// The text a size query and a copy into a buffer of that size hand over.
std::string Deliver(ZAR_DEV_HANDLE device) {
  uint32_t size = 0;
  EXPECT_EQ(DevGetXml(device, nullptr, &size), ZAR_ERR_INVALID_BUFFER_SIZE);
  std::string buffer(size, 'x');
  EXPECT_EQ(DevGetXml(device, buffer.data(), &size), ZAR_SUCCESS);
  EXPECT_EQ(size, buffer.size()) << "the text and its terminator";
  return buffer.substr(0, size == 0 ? 0 : size - 1);
}

// The file is chosen by vendor, model and the version's major part, with the highest minor number (read as
// atol reads it), and handed over as Windows reads a file in text mode: CR LF as LF, a lone CR kept, Ctrl-Z
// the end. What cannot be read as a file answers -11 and leaves the size alone. The folder's lower-case
// "xml" must match the lookup's "XML" regardless of case.
TEST(DescriptionFiles, CameraFilesAreChosenByVersionAndReadAsText) {
  const zar_test::TempDir tree;
  const auto folder = tree / "xml" / "Cameras" / "oxa";
  std::filesystem::create_directories(folder / "F_M_1.1.xml");
  const std::map<std::string, std::string> files = {
      {"V_M_2.1.xml", "one\n"},   {"V_M_2.9.xml", "nine\n"},          {"V_M_2.10.xml", "ten\n"},
      {"V_M_3.4.xml", "3.4\n"},   {"V_M_1.2.5.xml", "five\n"},        {"V_M_1.3.9.xml", "1.3\n"},
      {"V_N_2.11.xml", "other"},  {"W_M_2.beta.xml", "beta\n"},       {"W_M_4.-1.xml", "negative\n"},
      {"E_M_1.0.xml", ""},        {"D_M_1.0.xml", "a\r\nb\n"},        {"F_M_1.0.xml", "one\n"},
      {"R_M_1.0.xml", std::string("a\rb\r\r\nc\r\n\x1A after the end\n")}};
  for (const auto &[name, text] : files) std::ofstream(folder / name, std::ios::binary) << text;
  GenicamRoot root(tree.Path());
  struct Case { const char *vendor, *model, *version; std::optional<std::string> text; }; // no text: unreadable
  for (const Case &c : {Case{"V", "M", "2.13", "ten\n"}, Case{"V", "M", "1.2.7", "five\n"},
                        Case{"V", "M", "2.0", "ten\n"}, Case{"W", "M", "2.5", "beta\n"}, // a word counts as 0
                        Case{"W", "M", "4.1", std::nullopt},                              // a negative minor: never
                        Case{"W", "Q", "1.0", std::nullopt}, Case{"E", "M", "1.0", ""},
                        Case{"D", "M", "1.0", "a\nb\n"}, Case{"R", "M", "1.0", "a\rb\r\nc\n"},
                        Case{"F", "M", "1.0", std::nullopt}}) { // a folder has the highest minor
    SCOPED_TRACE(std::string(c.vendor) + "_" + c.model + " " + c.version);
    zar_test::OpenCamera camera(Camera(c.vendor, c.model, c.version));
    ASSERT_TRUE(camera.Ready());
    if (c.text) { EXPECT_EQ(Deliver(camera.Device()), *c.text); continue; }
    uint32_t size = 77;
    EXPECT_EQ(DevGetXml(camera.Device(), nullptr, &size), ZAR_ERR_FILE_IO);
    EXPECT_EQ(size, 77u);
  }

  // A small buffer gets the start of the text, terminated; no room at all is a size query.
  zar_test::OpenCamera camera(Camera("V", "M", "2.0"));
  char buffer[8] = "xxxxxxx"; uint32_t size = 3;
  ASSERT_EQ(DevGetXml(camera.Device(), buffer, &size), ZAR_SUCCESS) << "cut short, still success";
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(std::string(buffer, 4), std::string("te\0x", 4)) << "nothing past the capacity";
  size = 0;
  EXPECT_EQ(DevGetXml(camera.Device(), buffer, &size), ZAR_ERR_INVALID_BUFFER_SIZE);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(DevGetXml(camera.Device(), buffer, nullptr), ZAR_ERR_INVALID_PARAMETER);

  // A folder where the transport layer's file belongs, or no GENICAM_ROOT at all: no file name, and a size of 0.
  std::filesystem::create_directories(tree / "xml" / "TransportLayers" / "oxa" / "ZARUSBRegs.xml");
  for (const bool rooted : {true, false}) {
    if (!rooted) zar_test::UnsetEnv("GENICAM_ROOT");
    size = 1000;
    EXPECT_EQ(TLGetXml(camera.TL(), nullptr, &size), ZAR_ERR_INVALID_FILENAME) << rooted;
    EXPECT_EQ(size, 0u);
  }
  size = 99;
  EXPECT_EQ(DevGetXml(camera.Device(), nullptr, &size), ZAR_ERR_INVALID_FILENAME);
  EXPECT_EQ(size, 0u);
}

// The register nodes of a description file: name to "address length access".
std::map<std::string, std::string> RegisterNodes(const std::string &xml) {
  std::map<std::string, std::string> nodes;
  const auto element = [&](size_t from, const std::string &tag) {
    const size_t start = xml.find("<" + tag + ">", from) + tag.size() + 2;
    return xml.substr(start, xml.find("</" + tag + ">", start) - start);
  };
  for (const char *kind : {"<StringReg Name=\"", "<IntReg Name=\"", "<FloatReg Name=\"", "<Register Name=\""})
    for (size_t at = xml.find(kind); at != std::string::npos; at = xml.find(kind, at + 1)) {
      const size_t nameStart = at + std::strlen(kind);
      nodes[xml.substr(nameStart, xml.find('"', nameStart) - nameStart)] =
          std::to_string(std::stoull(element(at, "Address"), nullptr, 16)) + " " + element(at, "Length") + " " +
          element(at, "AccessMode");
    }
  return nodes;
}

std::string Node(uint32_t address, uint32_t length, const char *access) {
  return std::to_string(address) + " " + std::to_string(length) + " " + access;
}

// The shipped camera files describe exactly the emulated registers; the transport layer's comes whole or as its size.
TEST(DescriptionFiles, TheShippedOnesDescribeExactlyTheEmulatedRegisters) {
  const auto shipped = std::filesystem::path(os::ExecutablePath()).parent_path().parent_path() / "share" / "zar-usb";
  GenicamRoot root(shipped / "genicam");
  using namespace emulator::reg;
  const std::map<std::string, std::string> expected = {
      {"DeviceVendorName", Node(kVendorName, 32, "RO")},     {"DeviceModelName", Node(kModelName, 32, "RO")},
      {"DeviceVersion", Node(kDeviceVersion, 32, "RO")},     {"DeviceSerialNumber", Node(kSerialNumber, 32, "RO")},
      {"DeviceUserID", Node(kUserName, 16, "RW")},           {"DeviceIdentifierCode", Node(kRegister90, 4, "RO")},
      {"WidthReg", Node(kWidth, 4, "RW")},                   {"HeightReg", Node(kHeight, 4, "RW")},
      {"PixelFormatReg", Node(kPixelFormat, 4, "RW")},       {"PayloadSize", Node(kPayloadSize, 4, "RO")},
      {"AcquisitionStartReg", Node(kAcquisitionStart, 4, "WO")}, {"AcquisitionStopReg", Node(kAcquisitionStop, 4, "WO")},
      {"AcquisitionFrameRateMilli", Node(kFrameRate, 4, "RW")}, {"TestEventGenerate", Node(kTestEvent, 4, "WO")},
      {"ExposureTimeReg", Node(kExposureTime, 4, "RW")},     {"GainReg", Node(kGain, 4, "RW")},
      {"OffsetXReg", Node(kOffsetX, 4, "RW")},               {"OffsetYReg", Node(kOffsetY, 4, "RW")},
      {"TriggerModeReg", Node(kTriggerMode, 4, "RW")},       {"TriggerSourceReg", Node(kTriggerSource, 4, "RW")},
      {"TriggerSoftwareReg", Node(kTriggerSoftware, 4, "WO")}, {"UserMemory", Node(kUserMemory, 4096, "RW")},
      {"AcquisitionFrameRateReg", Node(kFrameRateFloat, 4, "RW")}};
  for (const auto &[model, version] : {std::pair{"ZC1000", "1.0"}, std::pair{"ZC2000", "2.0"}}) {
    zar_test::OpenCamera camera(Camera("RK46", model, version));
    ASSERT_TRUE(camera.Ready());
    EXPECT_EQ(RegisterNodes(Deliver(camera.Device())), expected) << model;
  }

  const std::string file = zar_test::FileText(shipped / "genicam" / "xml" / "TransportLayers" / "oxa" / "ZARUSBRegs.xml");
  EXPECT_EQ(RegisterNodes(file), (std::map<std::string, std::string>{{"TLVersion", Node(kTLVersion, 4, "RO")},
      {"TLLinkSpeed", Node(kTLLinkSpeed, 4, "RO")}, {"TLUserData", Node(kTLUserData, 64, "RW")}}));
  ZAR_TL_HANDLE tl = nullptr; uint32_t size = 0;
  ASSERT_EQ(TLOpen(nullptr, nullptr, &tl), ZAR_SUCCESS);
  EXPECT_EQ(TLGetXml(tl, nullptr, &size), ZAR_ERR_INVALID_BUFFER_SIZE);
  EXPECT_EQ(size, file.size());
  std::string buffer(file.size(), '\0'); size = static_cast<uint32_t>(buffer.size() - 1);
  EXPECT_EQ(TLGetXml(tl, buffer.data(), &size), ZAR_ERR_INVALID_BUFFER_SIZE) << "one byte short";
  EXPECT_EQ(size, file.size());
  EXPECT_EQ(TLGetXml(tl, nullptr, &size), ZAR_ERR_INVALID_PARAMETER) << "room enough, but no buffer";
  ASSERT_EQ(TLGetXml(tl, buffer.data(), &size), ZAR_SUCCESS);
  EXPECT_EQ(buffer, file);
  TLClose(tl);
}

} // namespace
