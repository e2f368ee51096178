// The feature commands where the zar_features library was not built.

#include "command_support.h"
#include "feature_actions.h"

namespace zarusb {

namespace {

[[noreturn]] void NeedsAravis() {
  Fail("camera features by name need Aravis' GenICam engine: this zarusb was built without it "
       "(on Linux, install libaravis-dev and build again)");
}

} // namespace

void ListFeatures(const std::string &, bool) { NeedsAravis(); }
void GetFeatures(const std::string &, const std::vector<std::string> &) { NeedsAravis(); }
void SetFeatures(const std::string &, const std::vector<std::string> &) { NeedsAravis(); }
void ExecuteFeature(const std::string &, const std::string &) { NeedsAravis(); }

} // namespace zarusb
