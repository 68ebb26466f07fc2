#include <gtest/gtest.h>

#include <set>

#include "VelantrixProfiles/Localization/VelantrixSupportCatalog.h"

namespace {

std::vector<std::string> lines(const std::string& s) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = s.find('\n', start)) != std::string::npos; start = nl + 1) out.push_back(s.substr(start, nl - start));
    out.push_back(s.substr(start));
    return out;
}

}  // namespace

TEST(VelantrixSupportCatalogTest, EveryCodeIsUniqueAndItsPrefixNamesItsArea) {
    const std::map<VelantrixSupportArea, std::string> prefixes{
        {VelantrixSupportArea::hostVerification, "IP-"}, {VelantrixSupportArea::network, "NET-"},
        {VelantrixSupportArea::configuration, "CFG-"},   {VelantrixSupportArea::permissions, "PERM-"},
        {VelantrixSupportArea::video, "VID-"},           {VelantrixSupportArea::audio, "AUD-"},
        {VelantrixSupportArea::fileTransfer, "FILE-"},   {VelantrixSupportArea::system, "SYS-"}};
    std::set<std::string> codes;
    for (VelantrixSupportErrorCode code : allCases<VelantrixSupportErrorCode>()) {
        const auto e = explanation(code);
        EXPECT_EQ(e.code, rawValue(code));
        EXPECT_TRUE(e.code.starts_with(prefixes.at(e.area))) << e.code;
        EXPECT_EQ(fromRawValue<VelantrixSupportErrorCode>(e.code), code);
        EXPECT_FALSE(e.title.empty() || e.userSummary.empty() || e.userAction.empty() || e.supportDiagnosis.empty())
            << e.code;
        EXPECT_EQ(e.privacyNote,
                  "No sensitive data is required for first-line support. Collect logs only after user consent.");
        codes.insert(e.code);
    }
    EXPECT_EQ(codes.size(), 54u);
    EXPECT_EQ(allCases<VelantrixSupportArea>().size(), 8u);
    EXPECT_EQ(rawValue(VelantrixSupportArea::fileTransfer), "file-transfer");
    EXPECT_EQ(fromRawValue<VelantrixSupportSeverity>("action-required"), VelantrixSupportSeverity::actionRequired);
    EXPECT_FALSE(fromRawValue<VelantrixSupportSeverity>("Action-Required").has_value());
}

TEST(VelantrixSupportCatalogTest, TextLookupIsExactAndFallsBackToUnknown) {
    const std::pair<const char*, const char*> cases[] = {
        {"NET-2003", "NET-2003"}, {"net-2003", "SYS-9001"}, {"", "SYS-9001"}, {"NET-2003 ", "SYS-9001"}, {"FILE-8007", "FILE-8007"}};
    for (auto [text, code] : cases) EXPECT_EQ(VelantrixSupportCatalog::explanation(std::string_view(text)).code, code) << text;
}

TEST(VelantrixSupportCatalogTest, HostVerificationReasonsMapToCodes) {
    const std::pair<std::optional<std::string>, VelantrixSupportErrorCode> cases[] = {
        {"invalid-address", VelantrixSupportErrorCode::invalidHostAddress},
        {"timed-out", VelantrixSupportErrorCode::connectionTimedOut},
        {"invalid-signature", VelantrixSupportErrorCode::invalidHostSignature},
        {"connection-failed", VelantrixSupportErrorCode::hostUnreachable},
        {"Timed-Out", VelantrixSupportErrorCode::hostUnreachable},
        {std::nullopt, VelantrixSupportErrorCode::hostUnreachable},
    };
    for (const auto& [reason, code] : cases)
        EXPECT_EQ(VelantrixSupportCatalog::codeForHostVerificationFailure(reason), code) << reason.value_or("(none)");
}

TEST(VelantrixSupportCatalogTest, UserFacingTextPutsDetailsBetweenSummaryAndAction) {
    const auto e = explanation(VelantrixSupportErrorCode::auxPortUnavailable);
    EXPECT_EQ(lines(e.userFacingText({})),
              (std::vector<std::string>{e.userSummary, "", "What to try:", e.userAction, "", "Support code: NET-2003"}));
    EXPECT_EQ(lines(e.userFacingText({"port 7346", "firewall on"})),
              (std::vector<std::string>{e.userSummary, "", "port 7346", "firewall on", "", "What to try:", e.userAction, "",
                                        "Support code: NET-2003"}));
}

TEST(VelantrixSupportCatalogTest, DiagnosticLineIsOneLine) {
    const auto e = explanation(VelantrixSupportErrorCode::connectionTimedOut);
    const std::string base = "support-code=NET-2002 area=network severity=action-required title=Connection timed out";
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {std::nullopt, base},
        {"", base},
        {"route=wifi", base + " context=route=wifi"},
        {"a\nb", base + " context=a b"},
        {"a\r\nsupport-code=SYS-9001", base + " context=a  support-code=SYS-9001"},
    };
    for (const auto& [context, expected] : cases) EXPECT_EQ(e.diagnosticLine(context), expected);
}
