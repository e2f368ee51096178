#include "camera_commands.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "command_support.h"
#include "emu_commands.h"
#include "zar_usb.h"

namespace zarusb {

namespace {

std::string Field(const char *text, size_t size) { return std::string(text, std::find(text, text + size, '\0')); }

void HexDump(uint64_t address, const std::vector<uint8_t> &bytes) {
  for (size_t row = 0; row < bytes.size(); row += 16) {
    std::printf("%08llX ", static_cast<unsigned long long>(address + row));
    for (size_t i = row; i < row + 16; ++i) {
      if (i < bytes.size())
        std::printf(" %02X", bytes[i]);
      else
        std::printf("   ");
    }
    std::printf("  ");
    for (size_t i = row; i < row + 16 && i < bytes.size(); ++i)
      std::putchar(bytes[i] >= 0x20 && bytes[i] < 0x7F ? bytes[i] : '.');
    std::putchar('\n');
  }
}

std::vector<uint8_t> ParseBytes(const std::string &hex) {
  std::vector<uint8_t> bytes;
  std::string digits;
  for (char c : hex)
    if (c != ' ' && c != ':') digits += c;
  if (digits.rfind("0x", 0) == 0) digits = digits.substr(2);
  if (digits.empty() || digits.size() % 2 != 0) Fail("BYTES takes an even number of hex digits, e.g. 0a0b0c");
  std::string badPair;
  if (!ParseHex(digits, &bytes, &badPair)) Fail("not a hex byte: " + badPair);
  return bytes;
}

} // namespace

void AddCameraCommands(CLI::App &app) {
  auto camera = std::make_shared<std::string>();

  CLI::App *info = app.add_subcommand("info", "Show a camera's identity");
  info->add_option("--camera", *camera, kCameraHelp);
  info->callback([camera] {
    Session session(*camera);
    ZAR_DEVICE_INFO record{};
    uint32_t size = sizeof record;
    const ZAR_STATUS status = DevGetInfo(session.Device(), &record, &size);
    if (status != ZAR_SUCCESS) Fail("DevGetInfo: " + ErrorText(session.TL(), status));
    std::printf("Camera:           %s\nTransport layer:  %s\nVendor:           %s\nModel:            %s\n"
                "Serial number:    %s\n",
                session.Name().c_str(), Field(record.sTLName, 256).c_str(), Field(record.sVendor, 32).c_str(),
                Field(record.sModel, 32).c_str(), Field(record.sSerial, 32).c_str());
    char version[33] = {};
    uint64_t length = 32;
    if (GCReadData(session.Device(), 0, 0x40, version, &length) == ZAR_SUCCESS)
      std::printf("Version:          %s\n", version);
  });

  auto address = std::make_shared<uint64_t>(0);
  auto length = std::make_shared<uint64_t>(0);
  CLI::App *read = app.add_subcommand("read", "Read camera registers (hex dump)");
  read->add_option("ADDRESS", *address, "Register address (0x... for hex)")->required();
  read->add_option("LENGTH", *length, "Number of bytes")->required()->check(CLI::Range(1, 1 << 20));
  read->add_option("--camera", *camera, kCameraHelp);
  read->callback([camera, address, length] {
    Session session(*camera);
    std::vector<uint8_t> bytes(*length);
    uint64_t size = *length;
    const ZAR_STATUS status = GCReadData(session.Device(), 0, *address, bytes.data(), &size);
    bytes.resize(size);
    HexDump(*address, bytes);
    if (status != ZAR_SUCCESS) Fail("GCReadData: " + ErrorText(session.TL(), status));
  });

  auto hex = std::make_shared<std::string>();
  CLI::App *write = app.add_subcommand("write", "Write camera registers");
  write->add_option("ADDRESS", *address, "Register address (0x... for hex)")->required();
  write->add_option("BYTES", *hex, "The bytes in hex, e.g. 80020000")->required();
  write->add_option("--camera", *camera, kCameraHelp);
  write->callback([camera, address, hex] {
    const std::vector<uint8_t> bytes = ParseBytes(*hex);
    Session session(*camera);
    uint64_t size = bytes.size();
    const ZAR_STATUS status = GCWriteData(session.Device(), 0, *address, bytes.data(), &size);
    if (status != ZAR_SUCCESS) Fail("GCWriteData: " + ErrorText(session.TL(), status));
    std::printf("Wrote %llu bytes at 0x%llX\n", static_cast<unsigned long long>(size),
                static_cast<unsigned long long>(*address));
  });

  auto transportLayer = std::make_shared<bool>(false);
  auto output = std::make_shared<std::string>();
  CLI::App *xml = app.add_subcommand("xml", "Print or save a GenICam description file");
  xml->add_flag("--tl", *transportLayer, "The transport layer's file instead of the camera's");
  xml->add_option("-o,--output", *output, "Write it to this file");
  xml->add_option("--camera", *camera, kCameraHelp);
  xml->callback([camera, transportLayer, output] {
    Session session(*camera, !*transportLayer);
    std::string text;
    uint32_t size = 0;
    ZAR_STATUS status = *transportLayer ? TLGetXml(session.TL(), nullptr, &size)
                                        : DevGetXml(session.Device(), nullptr, &size);
    if (status == ZAR_ERR_INVALID_BUFFER_SIZE) {
      text.assign(size + 1, '\0');
      uint32_t capacity = static_cast<uint32_t>(text.size());
      status = *transportLayer ? TLGetXml(session.TL(), text.data(), &capacity)
                               : DevGetXml(session.Device(), text.data(), &capacity);
      text.resize(text.find('\0'));
    }
    if (status != ZAR_SUCCESS) {
      const bool missing = status == ZAR_ERR_INVALID_FILENAME || status == ZAR_ERR_FILE_IO;
      const std::string advice = missing && !*transportLayer
                                     ? MissingDescriptionAdvice(session)
                                     : std::string();
      Fail("no description file: " + ErrorText(session.TL(), status) + (advice.empty() ? "" : "; " + advice));
    }
    if (output->empty()) {
      std::fwrite(text.data(), 1, text.size(), stdout);
      return;
    }
    std::ofstream file(*output, std::ios::binary);
    file << text;
    file.close();
    if (!file) Fail("cannot write " + *output + ": " + std::strerror(errno));
    std::printf("Saved %zu bytes to %s\n", text.size(), output->c_str());
  });
}

} // namespace zarusb
