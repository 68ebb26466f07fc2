#include "VelantrixProfiles/Discovery/VelantrixRouteRecord.h"

std::string VelantrixRouteRecord::displayLabel() const {
    std::string label = kind == "thunderbolt" ? "Thunderbolt" : kind == "wifi" ? "Wi-Fi" : "LAN";
    if (!interfaceName.empty()) label += " " + interfaceName;
    return label;
}
