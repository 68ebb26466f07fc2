#pragma once
// The maker's legal identity as the About panel shows it; the texts come
// with the release-feed change.

#include <string>
#include <vector>

#include "Platform/AttributedString.h"

struct VelantrixLegalEntity {
    VelantrixLegalEntity() = delete;
    // The About panel's credits in the first language of the list.
    static platform::AttributedString aboutPanelCredits(double fontSize, const std::vector<std::string>& preferredLanguages);
};
