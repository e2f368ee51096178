#pragma once
// The tools' default for GENICAM_ROOT: the description files shipped with
// them (bin/../share/zar-usb/genicam), when the variable is not set.

namespace zarusb {

// Sets GENICAM_ROOT for this process when it is unset and the shipped tree
// is there.
void DefaultGenicamRoot();

} // namespace zarusb
