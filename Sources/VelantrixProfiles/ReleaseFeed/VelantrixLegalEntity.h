#pragma once
// The maker's legal identity: its name in English and in both Chinese
// scripts, and the copyright line built from it, picked by the reader's
// languages.

#include <string>
#include <vector>

#include "Platform/AppKit/AttributedString.h"

class VelantrixLegalEntity {
public:
    VelantrixLegalEntity() = delete;

    static constexpr const char* englishName = "Qarvex Software Ltd.";
    static constexpr const char* simplifiedChineseName = "夸维克斯软件有限公司";
    static constexpr const char* traditionalChineseName = "誇維克斯軟體有限公司";
    static constexpr int copyrightYear = 2026;

    // The first Chinese entry of the list decides between the two Chinese
    // names (traditional for Hant, Taiwan, Hong Kong, Macau); a list without
    // one gives the English name, whatever else it holds.
    static std::string localizedName(const std::vector<std::string>& preferredLanguages);
    // "© 2026 " and the name.
    static std::string localizedCopyright(const std::vector<std::string>& preferredLanguages);
    // The About panel's credits: the copyright line, centred, in the system
    // font of `fontSize` and the secondary label colour.
    static platform::AttributedString aboutPanelCredits(double fontSize,
                                                        const std::vector<std::string>& preferredLanguages);
};
