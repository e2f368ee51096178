#pragma once
// What the feature commands do on one camera (the first listed when `camera`
// is empty). Each failure ends the command with its message and exit code 1.
// Built over the zar_features library where Aravis is found; elsewhere each
// says that it needs it.

#include <string>
#include <vector>

namespace zarusb {

// The feature tree by category: name, type, access, value and unit, range.
void ListFeatures(const std::string &camera, bool all);
// Prints NAME=VALUE for each name.
void GetFeatures(const std::string &camera, const std::vector<std::string> &names);
// Writes each NAME=VALUE in order and prints the values read back. Unknown
// names end it before anything is written; a refused write undoes the writes
// before it (those that cannot be undone are named).
void SetFeatures(const std::string &camera, const std::vector<std::string> &assignments);
// Executes a command feature.
void ExecuteFeature(const std::string &camera, const std::string &name);

} // namespace zarusb
