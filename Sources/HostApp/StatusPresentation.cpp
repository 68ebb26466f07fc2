// Status refresh and presentation: the probes and the texts they write
// arrive with their own change; until then a refresh changes nothing.

#include "HostApp/HostProbeDelegate.h"

void HostProbeDelegate::updateHostPresentation() {}

void HostProbeDelegate::refresh(bool, bool) { assertMainQueue(); }

void HostProbeDelegate::refreshButtonPressed() { assertMainQueue(); }
