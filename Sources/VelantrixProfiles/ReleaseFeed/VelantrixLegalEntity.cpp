#include "VelantrixProfiles/ReleaseFeed/VelantrixLegalEntity.h"

platform::AttributedString VelantrixLegalEntity::aboutPanelCredits(double, const std::vector<std::string>&) {
    return {};
}
