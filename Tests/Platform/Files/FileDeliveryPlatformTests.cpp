// What delivering received files asks of the platform beside the moves:
// local-time stamps and the Desktop and Downloads folders.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

#include "Platform/Files/Folders.h"
#include "Platform/Foundation/Formatters.h"
#include "Support/TestSupport.h"
#include "Support/TimeZoneScope.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

class FileDeliveryPlatform : public VirtualTimeTest {};

TEST_F(FileDeliveryPlatform, StampsAreInLocalTime) {
    // 2026-12-05 10:00:07 UTC.
    const Date date{1796464807};
    struct Case {
        const char* zone;
        const char* pattern;
        const char* text;
    };
    const Case cases[] = {
        {"UTC0", "yyyy-MM-dd-HHmmss", "2026-12-05-100007"},
        {"IST-5:30", "yyyy-MM-dd-HHmmss", "2026-12-05-153007"},
        {"IST-5:30", "yyyy-MM-dd HH:mm", "2026-12-05 15:30"},
        {"XST14", "yyyy-MM-dd HH:mm", "2026-12-04 20:00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + c.pattern);
        TimeZoneScope zone(c.zone);
        EXPECT_EQ(DateFormatter::localString(date, c.pattern), c.text);
    }
}

TEST_F(FileDeliveryPlatform, DesktopAndDownloadsFollowTheUserDirsFile) {
    const fs::path home = Folders::home();
    EXPECT_EQ(Folders::desktop(), home / "Desktop");
    EXPECT_EQ(Folders::downloads(), home / "Downloads");
    fs::create_directories(home / ".config");
    std::ofstream(home / ".config" / "user-dirs.dirs")
        << "# written by xdg-user-dirs-update\n"
        << "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"
        << "XDG_DOWNLOAD_DIR=\"/srv/incoming\"\n";
    EXPECT_EQ(Folders::desktop(), home / "Schreibtisch");
    EXPECT_EQ(Folders::downloads(), fs::path("/srv/incoming"));
}

}  // namespace
