#include "camera_settings.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>

namespace zarusbsrc {

namespace {

constexpr MediaFormat kFormats[] = {
    {"Mono8", "video/x-raw", "GRAY8"},       {"Mono16", "video/x-raw", "GRAY16_LE"},
    {"RGB8", "video/x-raw", "RGB"},          {"BGR8", "video/x-raw", "BGR"},
    {"BayerRG8", "video/x-bayer", "rggb"},   {"BayerGB8", "video/x-bayer", "gbrg"},
    {"BayerGR8", "video/x-bayer", "grbg"},   {"BayerBG8", "video/x-bayer", "bggr"}};

const MediaFormat *ByPixelFormat(const std::string &name) {
  for (const MediaFormat &format : kFormats)
    if (name == format.pixelFormat) return &format;
  return nullptr;
}

// The feature's value and range as a listing describes them; false with
// *error set when it cannot be read.
bool Describe(ZAR_FEATURES *features, const char *name, std::string *value, std::string *range, std::string *error) {
  const ZAR_FEATURE_INFO *info = nullptr;
  if (zar_features_describe(features, name, &info) != ZAR_FEATURE_OK) {
    *error = zar_features_error(features);
    return false;
  }
  if (info->status != ZAR_FEATURE_OK) {
    *error = info->value;
    return false;
  }
  *value = info->value;
  *range = info->range;
  return true;
}

// An integer's range as GStreamer holds it: a stepped range holds only
// multiples of its step, so a range whose minimum is none is offered in
// steps of 1 (the camera refuses the values between its own when they are
// written). A feature without a range offers its value alone.
bool ReadRange(ZAR_FEATURES *features, const char *name, Offer::Range *out, std::string *error) {
  std::string value, range;
  if (!Describe(features, name, &value, &range, error)) return false;
  const long long current = std::strtoll(value.c_str(), nullptr, 0);
  long long min = current, max = current, step = 1;
  if (std::sscanf(range.c_str(), "%lld..%lld step %lld", &min, &max, &step) != 3 || step < 1 || min > max)
    min = max = current, step = 1;
  min = std::clamp<long long>(min, 1, G_MAXINT);
  max = std::clamp<long long>(max, min, G_MAXINT);
  if (min % step != 0) step = 1;
  max -= (max - min) % step;
  *out = {static_cast<int>(min), static_cast<int>(max), static_cast<int>(step),
          static_cast<int>(std::clamp<long long>(current, min, max))};
  return true;
}

void SetRange(GstStructure *structure, const char *field, const Offer::Range &range) {
  if (range.min == range.max) {
    gst_structure_set(structure, field, G_TYPE_INT, range.min, nullptr);
    return;
  }
  GValue value = G_VALUE_INIT;
  g_value_init(&value, GST_TYPE_INT_RANGE);
  gst_value_set_int_range_step(&value, range.min, range.max, range.step);
  gst_structure_take_value(structure, field, &value);
}

std::string RangeText(const Offer::Range &range) {
  if (range.min == range.max) return std::to_string(range.min);
  return std::to_string(range.min) + ".." + std::to_string(range.max) + " step " + std::to_string(range.step);
}

} // namespace

const MediaFormat *FindMediaFormat(const GstStructure *structure) {
  const char *format = gst_structure_get_string(structure, "format");
  for (const MediaFormat &known : kFormats)
    if (gst_structure_has_name(structure, known.media) && format != nullptr && !std::strcmp(format, known.format))
      return &known;
  return nullptr;
}

bool ParseFeatures(const char *text, Settings *settings, std::string *error) {
  gint count = 0;
  gchar **words = nullptr;
  GError *failure = nullptr;
  if (text == nullptr || std::strspn(text, " \t\n") == std::strlen(text)) return true;
  if (!g_shell_parse_argv(text, &count, &words, &failure)) {
    *error = std::string("features cannot be split: ") + failure->message;
    g_error_free(failure);
    return false;
  }
  bool parsed = true;
  for (gint i = 0; i < count && parsed; ++i) {
    const char *equals = std::strchr(words[i], '=');
    Setting setting;
    setting.feature = equals != nullptr ? std::string(words[i], static_cast<size_t>(equals - words[i])) : words[i];
    setting.value = equals != nullptr ? equals + 1 : "";
    setting.command = equals == nullptr;
    if (setting.feature.empty()) {
      *error = std::string("features: '") + words[i] + "' names no feature";
      parsed = false;
    }
    settings->push_back(std::move(setting));
  }
  g_strfreev(words);
  return parsed;
}

std::string Apply(ZAR_FEATURES *features, const Settings &settings) {
  std::string refusals;
  for (const Setting &setting : settings) {
    const char *name = setting.feature.c_str();
    const int status = setting.command ? zar_features_execute(features, name)
                                       : zar_features_set(features, name, setting.value.c_str());
    if (status == ZAR_FEATURE_OK) continue;
    if (!refusals.empty()) refusals += "; ";
    if (!setting.property.empty()) refusals += setting.property + ": ";
    refusals += status == ZAR_FEATURE_UNKNOWN && !setting.property.empty() ? "the camera has no " + setting.feature
                                                                            : zar_features_error(features);
  }
  return refusals;
}

bool ReadOffer(ZAR_FEATURES *features, uint32_t frameRateMilli, Offer *offer, std::string *error) {
  std::string current, entries;
  if (!ReadRange(features, "Width", &offer->width, error) || !ReadRange(features, "Height", &offer->height, error) ||
      !Describe(features, "PixelFormat", &current, &entries, error))
    return false;
  offer->formats.clear();
  if (const MediaFormat *format = ByPixelFormat(current)) offer->formats.push_back(format);
  gchar **names = g_strsplit(entries.c_str(), "|", -1);
  for (gchar **name = names; *name != nullptr; ++name) {
    const MediaFormat *format = ByPixelFormat(*name);
    if (format != nullptr && std::find(offer->formats.begin(), offer->formats.end(), format) == offer->formats.end())
      offer->formats.push_back(format);
  }
  g_strfreev(names);
  if (offer->formats.empty()) {
    *error = "none of its pixel formats (" + (entries.empty() ? current : entries) + ") has a GStreamer format";
    return false;
  }
  const guint divisor = std::gcd(frameRateMilli, 1000u); // frames per 1000 s, reduced
  offer->fpsN = static_cast<int>(frameRateMilli / divisor);
  offer->fpsD = static_cast<int>(1000 / divisor);
  return true;
}

GstCaps *Offer::Caps() const {
  GstCaps *caps = gst_caps_new_empty();
  for (const MediaFormat *format : formats) {
    GstStructure *structure = gst_structure_new(format->media, "format", G_TYPE_STRING, format->format, nullptr);
    SetRange(structure, "width", width);
    SetRange(structure, "height", height);
    gst_structure_set(structure, "framerate", GST_TYPE_FRACTION, fpsN, fpsD, nullptr);
    gst_caps_append_structure(caps, structure);
  }
  return caps;
}

std::string Offer::Text() const {
  std::string text = "pixel formats";
  for (const MediaFormat *format : formats)
    text += std::string(format == formats.front() ? " " : ", ") + format->pixelFormat + " (" + format->media + " " +
            format->format + ")";
  return text + "; width " + RangeText(width) + "; height " + RangeText(height) + "; frame rate " +
         std::to_string(fpsN) + "/" + std::to_string(fpsD);
}

bool WriteCaps(ZAR_FEATURES *features, const GstStructure *caps, std::string *error) {
  const MediaFormat *format = FindMediaFormat(caps);
  int width = 0, height = 0;
  if (format == nullptr || !gst_structure_get_int(caps, "width", &width) ||
      !gst_structure_get_int(caps, "height", &height)) {
    gchar *text = gst_structure_to_string(caps);
    *error = std::string("no pixel format, width and height in ") + text;
    g_free(text);
    return false;
  }
  // Only what differs: a feature the camera does not let write may already
  // hold the value.
  Settings settings;
  const std::pair<const char *, std::string> wanted[] = {
      {"PixelFormat", format->pixelFormat}, {"Width", std::to_string(width)}, {"Height", std::to_string(height)}};
  for (const auto &[name, value] : wanted) {
    const char *now = nullptr;
    if (zar_features_get(features, name, &now) != ZAR_FEATURE_OK || value != now)
      settings.push_back({"", name, value});
  }
  *error = Apply(features, settings);
  return error->empty();
}

} // namespace zarusbsrc
