#pragma once
// The Host's version texts, read from the main bundle: the marketing
// version, the build number the update and onboarding checks compare, and
// the one-line build marker written at launch.

#include <string>

// "CFBundleShortVersionString" when it is not empty, else "unknown".
std::string hostAppVersionString();
// "CFBundleVersion" when it is not empty, else hostAppVersionString().
std::string hostBundleVersionString();
// "V<version> build=<build> version=<version> os=<system> bundle=<path>
// exec=<executable or unknown>", all on one line.
std::string hostBuildMarkerString();
