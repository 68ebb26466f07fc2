#pragma once
// The headless AppKit model in one include: the application and its
// delegate, windows and views, alerts, Apple events and attributed strings.
// Nothing is drawn; every object exists so that the Host can use it as on a
// Mac and tests can inspect and press it.

#include "Platform/AppKit/AppKitAlert.h"
#include "Platform/AppKit/AppKitApplication.h"
#include "Platform/AppKit/AppKitWindow.h"
#include "Platform/AppKit/AppleEvents.h"
#include "Platform/AppKit/AttributedString.h"
