// What ZAR_USB_EMULATION asks the emulator to plug.

#include <gtest/gtest.h>

#include <fstream>

#include "emulator/bus.h"
#include "emulator/emulation_config.h"
#include "environment.h"
#include "temp_dir.h"

using namespace oxa::ZarUsb::emulator;

namespace {

// A number asks for that many default cameras; a file describes each camera,
// defaults filling what it leaves out; anything else asks for none.
TEST(EmulationConfig, ANumberOrAFileSaysWhichCamerasArePlugged) {
  zar_test::SetEnv("ZAR_USB_EMULATION", "3");
  auto cameras = ConfiguredCameras();
  ASSERT_EQ(cameras.size(), 3u);
  EXPECT_EQ(cameras[0].serial, "EMU0001");
  EXPECT_EQ(cameras[2].serial, "EMU0003");
  EXPECT_EQ(cameras[2].interfaceClass, 2u);
  zar_test::SetEnv("ZAR_USB_EMULATION", "0");
  EXPECT_TRUE(ConfiguredCameras().empty());
  zar_test::UnsetEnv("ZAR_USB_EMULATION");
  EXPECT_TRUE(ConfiguredCameras().empty());
  zar_test::SetEnv("ZAR_USB_EMULATION", "/no/such/file.json");
  std::string why;
  EXPECT_TRUE(ConfiguredCameras(&why).empty());
  EXPECT_NE(why.find("/no/such/file.json"), std::string::npos) << why;

  const zar_test::TempDir dir;
  const auto path = dir / "cameras.json";
  std::ofstream(path) << R"({"cameras": [
      {"model": "ZC2000", "serial": "A1", "version": "2.13", "width": 1280, "height": 1024,
       "pixel_format": "Mono16", "frame_rate": 12.5, "interface_class": 20, "name": "Left"},
      {"serial": "B2"}]})";
  zar_test::SetEnv("ZAR_USB_EMULATION", path.string().c_str());
  cameras = ConfiguredCameras();
  zar_test::UnsetEnv("ZAR_USB_EMULATION");
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

// Broken descriptions, and numbers that the registers cannot hold, are
// refused with a reason; the largest they hold are taken. A sensor larger
// than the width and height registers take is not plugged.
TEST(EmulationConfig, WhatTheRegistersCannotHoldIsRefused) {
  for (const std::string text :
       {R"({"cameras": [{"pixel_format": "Bayer"}]})", "not json", R"({"cameras": [{"width": 1e20}]})",
        R"({"cameras": [{"width": -1}]})", R"({"cameras": [{"height": 480.5}]})",
        R"({"cameras": [{"register90": 4294967296}]})", R"({"cameras": [{"interface_class": "3"}]})",
        R"({"cameras": [{"frame_rate": 1e10}]})", R"({"cameras": [{"frame_rate": -2}]})"}) {
    std::string why;
    EXPECT_TRUE(ParseCameras(text, &why).empty()) << text;
    EXPECT_TRUE(text.find("Bayer") == std::string::npos ? !why.empty() : why.find("pixel_format") != std::string::npos)
        << text << ": " << why;
  }
  std::string why;
  const auto largest = ParseCameras(R"({"cameras": [{"register90": 4294967295, "frame_rate": 4294967}]})", &why);
  ASSERT_EQ(largest.size(), 1u) << why;
  EXPECT_EQ(largest[0].register90, 4294967295u);
  EXPECT_EQ(largest[0].frameRateMilli, 4294967000u);

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
