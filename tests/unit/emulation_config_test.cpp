// What ZAR_USB_EMULATION asks the emulator to plug.

#include <gtest/gtest.h>

#include <fstream>

#include "emulator/bus.h"
#include "emulator/emulation_config.h"
#include "environment.h"
#include "temp_dir.h"

using namespace oxa::ZarUsb::emulator;

namespace {

class EmulationConfig : public ::testing::Test {
protected:
  void TearDown() override { zar_test::UnsetEnv("ZAR_USB_EMULATION"); }
};

TEST_F(EmulationConfig, ANumberAsksForThatManyDefaultCameras) {
  zar_test::SetEnv("ZAR_USB_EMULATION", "3");
  const auto cameras = ConfiguredCameras();
  ASSERT_EQ(cameras.size(), 3u);
  EXPECT_EQ(cameras[0].serial, "EMU0001");
  EXPECT_EQ(cameras[2].serial, "EMU0003");
  EXPECT_EQ(cameras[2].interfaceClass, 2u);
  zar_test::SetEnv("ZAR_USB_EMULATION", "0");
  EXPECT_TRUE(ConfiguredCameras().empty());
  zar_test::UnsetEnv("ZAR_USB_EMULATION");
  EXPECT_TRUE(ConfiguredCameras().empty());
}

TEST_F(EmulationConfig, AFileDescribesEachCamera) {
  const zar_test::TempDir dir;
  const auto path = dir / "cameras.json";
  std::ofstream(path) << R"({"cameras": [
      {"model": "ZC2000", "serial": "A1", "version": "2.13", "width": 1280, "height": 1024,
       "pixel_format": "Mono16", "frame_rate": 12.5, "interface_class": 20, "name": "Left"},
      {"serial": "B2"}]})";
  zar_test::SetEnv("ZAR_USB_EMULATION", path.string().c_str());
  const auto cameras = ConfiguredCameras();
  ASSERT_EQ(cameras.size(), 2u);
  EXPECT_EQ(cameras[0].model, "ZC2000");
  EXPECT_EQ(cameras[0].version, "2.13");
  EXPECT_EQ(cameras[0].width, 1280u);
  EXPECT_EQ(cameras[0].pixelFormat, kMono16);
  EXPECT_EQ(cameras[0].frameRateMilli, 12500u);
  EXPECT_EQ(cameras[0].interfaceClass, 20u);
  EXPECT_EQ(cameras[0].userName, "Left");
  EXPECT_EQ(cameras[1].model, CameraConfig{}.model) << "defaults fill what is missing";
}

TEST_F(EmulationConfig, BrokenDescriptionsSayWhy) {
  std::string why;
  EXPECT_TRUE(ParseCameras("{\"cameras\": [{\"pixel_format\": \"Bayer\"}]}", &why).empty());
  EXPECT_NE(why.find("pixel_format"), std::string::npos) << why;
  why.clear();
  EXPECT_TRUE(ParseCameras("not json", &why).empty());
  EXPECT_FALSE(why.empty());
  zar_test::SetEnv("ZAR_USB_EMULATION", "/no/such/file.json");
  why.clear();
  EXPECT_TRUE(ConfiguredCameras(&why).empty());
  EXPECT_NE(why.find("/no/such/file.json"), std::string::npos);
}

TEST_F(EmulationConfig, NumbersThatTheRegistersCannotHoldAreRefused) {
  for (const char *camera : {R"({"width": 1e20})", R"({"width": -1})", R"({"height": 480.5})",
                             R"({"register90": 4294967296})", R"({"interface_class": "3"})",
                             R"({"frame_rate": 1e10})", R"({"frame_rate": -2})"}) {
    std::string why;
    EXPECT_TRUE(ParseCameras(std::string("{\"cameras\": [") + camera + "]}", &why).empty()) << camera;
    EXPECT_FALSE(why.empty()) << camera;
  }
  std::string why;
  const auto cameras = ParseCameras(R"({"cameras": [{"register90": 4294967295, "frame_rate": 4294967}]})", &why);
  ASSERT_EQ(cameras.size(), 1u) << why;
  EXPECT_EQ(cameras[0].register90, 4294967295u);
  EXPECT_EQ(cameras[0].frameRateMilli, 4294967000u);
}

TEST_F(EmulationConfig, ASensorLargerThanTheWidthAndHeightRegistersTakeIsNotPlugged) {
  CameraSlot slot{};
  CameraConfig config;
  config.width = config.height = kMaxDimension;
  EXPECT_TRUE(PlugInto(slot, config));
  for (uint32_t wide : {kMaxDimension + 1, 0xFFFFFFFFu}) {
    config.width = wide;
    EXPECT_FALSE(PlugInto(slot, config)) << wide;
    config.width = 1;
    config.height = wide;
    EXPECT_FALSE(PlugInto(slot, config)) << wide;
  }
}

} // namespace
