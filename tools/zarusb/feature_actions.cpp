// The feature commands over the zar_features library.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "command_support.h"
#include "feature_actions.h"
#include "zar_features.h"

namespace zarusb {

namespace {

// The camera's node map, for the command's duration.
class NodeMap {
public:
  explicit NodeMap(const std::string &camera) : m_session(camera) {
    int status = ZAR_FEATURE_OK;
    char message[512] = {};
    m_features = zar_features_open(m_session.Device(), &status, message, sizeof message);
    if (m_features == nullptr) {
      const std::string advice = status == ZAR_FEATURE_NO_DESCRIPTION ? MissingDescriptionAdvice(m_session) : "";
      Fail(std::string("no features for camera '") + m_session.Name() + "': " + message +
           (advice.empty() ? "" : "; " + advice));
    }
  }
  ~NodeMap() { zar_features_close(m_features); }
  NodeMap(const NodeMap &) = delete;
  NodeMap &operator=(const NodeMap &) = delete;
  ZAR_FEATURES *Handle() const { return m_features; }
  // Ends the command with the node map's message unless status is OK.
  void Check(int status) const {
    if (status != ZAR_FEATURE_OK) Fail(zar_features_error(m_features));
  }
  std::string Get(const std::string &name) const {
    const char *value = nullptr;
    Check(zar_features_get(m_features, name.c_str(), &value));
    return value;
  }

private:
  Session m_session;
  ZAR_FEATURES *m_features = nullptr;
};

} // namespace

void ListFeatures(const std::string &camera, bool all) {
  const NodeMap map(camera);
  const ZAR_FEATURE_INFO *items = nullptr;
  size_t count = 0;
  map.Check(zar_features_list(map.Handle(), all ? ZAR_FEATURES_ALL : 0, &items, &count));
  size_t nameWidth = 0;
  for (size_t i = 0; i < count; ++i) nameWidth = std::max(nameWidth, 2 * items[i].depth + std::string(items[i].name).size());
  bool uncategorized = false;
  for (size_t i = 0; i < count; ++i) {
    const ZAR_FEATURE_INFO &item = items[i];
    if (item.depth == 0 && item.category[0] == '\0' && std::string(item.type) != "Category" && !uncategorized) {
      std::printf("(no category)\n");
      uncategorized = true;
    }
    const int indent = 2 * item.depth + (uncategorized ? 2 : 0);
    if (std::string(item.type) == "Category") {
      std::printf("%*s%s\n", indent, "", item.name);
      continue;
    }
    std::string value = item.value;
    if (item.status == ZAR_FEATURE_OK && item.unit[0] != '\0') value += std::string(" ") + item.unit;
    if (item.status != ZAR_FEATURE_OK && item.status != ZAR_FEATURE_ACCESS_FAILED) value = "(" + value + ")";
    const std::string range = item.range[0] != '\0' ? std::string("  [") + item.range + "]" : "";
    const std::string description = item.description[0] != '\0' ? std::string("  # ") + item.description : "";
    std::printf("%*s%-*s %-11s %-2s  %s%s%s\n", indent, "", static_cast<int>(nameWidth + 2 - indent), item.name,
                item.type, item.access, value.c_str(), range.c_str(), description.c_str());
  }
}

void GetFeatures(const std::string &camera, const std::vector<std::string> &names) {
  const NodeMap map(camera);
  for (const std::string &name : names) std::printf("%s=%s\n", name.c_str(), map.Get(name).c_str());
}

void SetFeatures(const std::string &camera, const std::vector<std::string> &assignments) {
  for (const std::string &assignment : assignments)
    if (assignment.find('=') == std::string::npos || assignment.front() == '=')
      Fail("'" + assignment + "' is no NAME=VALUE (e.g. Width=320)");
  const NodeMap map(camera);
  // Every name is looked up, and each value that can be restored is kept,
  // before the first write; when a write is refused, those before it are
  // undone in reverse order.
  struct Write {
    std::string name, value, former;
    bool restorable;
  };
  std::vector<Write> writes;
  for (const std::string &assignment : assignments) {
    const size_t equals = assignment.find('=');
    Write write{assignment.substr(0, equals), assignment.substr(equals + 1), {}, false};
    const ZAR_FEATURE_INFO *info = nullptr;
    map.Check(zar_features_describe(map.Handle(), write.name.c_str(), &info));
    write.restorable = info->status == ZAR_FEATURE_OK && std::string(info->access) == "RW" &&
                       std::string(info->type) != "Command";
    if (write.restorable) write.former = info->value;
    writes.push_back(write);
  }
  std::string lines;
  for (size_t i = 0; i < writes.size(); ++i) {
    const Write &write = writes[i];
    if (zar_features_set(map.Handle(), write.name.c_str(), write.value.c_str()) != ZAR_FEATURE_OK) {
      const std::string refusal = zar_features_error(map.Handle());
      std::string kept;
      for (size_t j = i; j-- > 0;) {
        if (!writes[j].restorable ||
            zar_features_set(map.Handle(), writes[j].name.c_str(), writes[j].former.c_str()) != ZAR_FEATURE_OK)
          kept = writes[j].name + "=" + writes[j].value + (kept.empty() ? "" : " ") + kept;
      }
      Fail(refusal + (i == 0 ? "" : kept.empty() ? "; nothing was changed" : "; still applied: " + kept));
    }
    // The value read back, as the camera took it; a write-only one as given.
    const char *value = nullptr;
    if (zar_features_get(map.Handle(), write.name.c_str(), &value) == ZAR_FEATURE_OK)
      lines += write.name + "=" + value + "\n";
    else
      lines += write.name + "=" + write.value + " (written)\n";
  }
  std::fputs(lines.c_str(), stdout);
}

void ExecuteFeature(const std::string &camera, const std::string &name) {
  const NodeMap map(camera);
  map.Check(zar_features_execute(map.Handle(), name.c_str()));
  std::printf("%s done\n", name.c_str());
}

} // namespace zarusb
