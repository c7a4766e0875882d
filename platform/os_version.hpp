// The operating-system version check the system gates some features on.
// Linux offers every such feature, so the check answers true; tests can force it false.
#pragma once

namespace platform {

bool IsWindows10OrLater();
// For tests of the refusal paths: make IsWindows10OrLater answer `answer` until reset.
void ForceWindows10OrLater(bool answer);
void ResetWindows10OrLater();

}  // namespace platform
