#include "VelantrixProfiles/ReleaseFeed/VelantrixLegalEntity.h"

#include "Platform/Foundation/UnicodeText.h"

std::string VelantrixLegalEntity::localizedName(const std::vector<std::string>& preferredLanguages) {
    for (const std::string& language : preferredLanguages) {
        const std::string code = platform::UnicodeText::lowercased(language);
        if (!code.starts_with("zh")) continue;
        for (const char* traditional : {"hant", "tw", "hk", "mo"})
            if (code.find(traditional) != std::string::npos) return traditionalChineseName;
        return simplifiedChineseName;
    }
    return englishName;
}

std::string VelantrixLegalEntity::localizedCopyright(const std::vector<std::string>& preferredLanguages) {
    return "\u00A9 " + std::to_string(copyrightYear) + " " + localizedName(preferredLanguages);
}

platform::AttributedString VelantrixLegalEntity::aboutPanelCredits(double fontSize,
                                                                  const std::vector<std::string>& preferredLanguages) {
    return platform::AttributedString(localizedCopyright(preferredLanguages), platform::Font::system(fontSize),
                                      platform::Color::secondaryLabel, platform::TextAlignment::center);
}
