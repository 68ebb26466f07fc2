// The installer's and updater's URL requests ('GURL'): the handler is
// installed by the lifecycle and answered by its own change.

#include "HostApp/HostProbeDelegate.h"

void HostProbeDelegate::handlePermissionURLEvent(const platform::AppleEvent&, platform::AppleEvent&) {
    assertMainQueue();
}
