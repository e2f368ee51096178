#pragma once
// What zarusbsrc asks of a camera through its features: the settings of the
// element's properties, the caps the camera's description offers, and the
// negotiated caps written back as its pixel format, width and height.

#include <gst/gst.h>

#include <string>
#include <vector>

#include "zar_features.h"

namespace zarusbsrc {

// A pixel format of the camera by its GenICam name, and as GStreamer
// names it: a media type and its format.
struct MediaFormat {
  const char *pixelFormat;
  const char *media;
  const char *format;
};

// The one that the caps' structure names; null if none.
const MediaFormat *FindMediaFormat(const GstStructure *structure);

// A feature to write (or, with command set, to execute); property names
// the element's property that asked for it, empty for one of `features`.
struct Setting {
  std::string property, feature, value;
  bool command = false;
};
using Settings = std::vector<Setting>;

// "Name=value Name2='a value' Command" into settings (a name alone
// executes that command); false with *error set when the text cannot be
// split.
bool ParseFeatures(const char *text, Settings *settings, std::string *error);

// Writes each setting in order, on through refusals; the refusals, each
// naming its feature (and property), joined by "; "; empty when all were
// taken.
std::string Apply(ZAR_FEATURES *features, const Settings &settings);

// What the camera can stream: the pixel formats GStreamer has a name for,
// the current one first; width and height as ranges with their increments
// (a feature that cannot be written offers its value alone); the frame
// rate as the camera runs.
struct Offer {
  struct Range {
    int min, max, step, current;
  };
  std::vector<const MediaFormat *> formats;
  Range width{}, height{};
  int fpsN = 0, fpsD = 1;

  GstCaps *Caps() const;
  std::string Text() const; // for messages: "pixel formats Mono8 (video/x-raw GRAY8), ..."
};

// Reads the offer from the camera's features; false with *error set when
// the camera offers no format GStreamer names.
bool ReadOffer(ZAR_FEATURES *features, uint32_t frameRateMilli, Offer *offer, std::string *error);

// Writes fixed caps as the camera's pixel format, width and height; false
// with *error set when the camera refuses.
bool WriteCaps(ZAR_FEATURES *features, const GstStructure *caps, std::string *error);

} // namespace zarusbsrc
