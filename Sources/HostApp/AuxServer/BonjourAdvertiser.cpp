#include "HostApp/AuxServer/BonjourAdvertiser.h"

#include "Platform/Security/Crypto.h"
#include "Platform/Network/NetworkInterfaces.h"
#include "VelantrixProfiles/Discovery/VelantrixDiscovery.h"

namespace {

// A TXT entry ("key=value") holds at most 255 bytes.
constexpr size_t kMaxTxtEntryBytes = 255;

}  // namespace

BonjourAdvertiser::BonjourAdvertiser(Identity identity, platform::DispatchQueue ownerQueue, Logger log,
                                     std::shared_ptr<platform::DnsServiceRegistration> registration,
                                     RouteSource source)
    : identity_(std::move(identity)),
      ownerQueue_(std::move(ownerQueue)),
      log_(std::move(log)),
      registration_(registration ? std::move(registration)
                                 : platform::DnsServiceRegistration::makeAvahi(ownerQueue_, log_)),
      source_(source ? std::move(source) : RouteSource(&BonjourAdvertiser::localRoutes)) {}

BonjourAdvertiser::~BonjourAdvertiser() {
    if (monitor_) monitor_->cancel();
}

void BonjourAdvertiser::start() {
    ownerQueue_.dispatchPrecondition();
    if (running_) return;
    running_ = true;
    update("start");
    monitor_ = std::make_shared<platform::NetworkPathMonitor>(kNetworkPathQueueLabel);
    std::weak_ptr<BonjourAdvertiser> weak = weak_from_this();
    platform::DispatchQueue owner = ownerQueue_;
    monitor_->pathUpdateHandler = [weak, owner] {
        owner.async([weak] {
            auto self = weak.lock();
            if (!self || !self->running_) return;
            if (self->onNetworkPathChanged)
                self->onNetworkPathChanged();
            else
                self->update("network path changed");
        });
    };
    monitor_->start();
}

void BonjourAdvertiser::stop() {
    ownerQueue_.dispatchPrecondition();
    if (!running_) return;
    running_ = false;
    if (monitor_) monitor_->cancel();
    monitor_.reset();
    registration_->withdraw();
    published_.reset();
}

bool BonjourAdvertiser::update(const std::string& reason) {
    ownerQueue_.dispatchPrecondition();
    if (!running_) return false;
    Routes routes = source_();
    platform::DnsServiceDescription service{identity_.serviceName, VelantrixDiscovery::serviceType,
                                            VelantrixDiscovery::serviceDomain, identity_.audioPort,
                                            makeTxtRecord(identity_, routes)};
    if (published_ && *published_ == service) return false;
    std::string routeText;
    // GCC 12 at -O3 warns of an overlapping copy inside the std::string
    // inlines of "literal" + string: its -Wrestrict false positive (GCC bug 105651).
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    for (size_t i = 0; i < routes.records.size() && i < kMaxRouteRecords; ++i)
        routeText += (i ? " " : "") + routes.records[i].displayLabel() + "=" + routes.records[i].address;
#pragma GCC diagnostic pop
    log_(std::string("discovery: ") + (published_ ? "updating" : "publishing") + " the advertisement (" + reason +
         "): " + std::to_string(routes.records.size()) + " route(s)" + (routeText.empty() ? "" : " " + routeText));
    registration_->publish(service);
    published_ = std::move(service);
    routes_ = std::move(routes);
    return true;
}

platform::DnsTxtRecord BonjourAdvertiser::makeTxtRecord(const Identity& identity, const Routes& routes) {
    platform::DnsTxtRecord txt{
        {"v", "1"},
        {"id", identity.hostIdentifier},
        {"pk", platform::crypto::base64UrlNoPad(identity.publicKey)},
        {"audio", std::to_string(identity.audioPort)},
        {"video", std::to_string(identity.videoPort)},
        {"files", std::to_string(identity.filesPort)},
    };
    size_t index = 0;
    for (const auto& record : routes.records) {
        if (index == kMaxRouteRecords) break;
        // GCC 12 at -O3 warns of an overlapping copy inside the std::string
        // inlines of "literal" + string: its -Wrestrict false positive (GCC bug 105651).
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
        std::string key = "r" + std::to_string(index);
#pragma GCC diagnostic pop
        std::string value = record.kind + "," + record.interfaceName + "," + record.address;
        // An entry the record cannot hold would make the daemon refuse the
        // whole advertisement; such a route is left out instead.
        if (key.size() + 1 + value.size() > kMaxTxtEntryBytes) continue;
        txt.emplace_back(std::move(key), std::move(value));
        ++index;
    }
    // Addresses that do not fit in one entry are dropped from the end: the
    // first ones belong to the preferred routes.
    std::string wol;
    for (const auto& mac : routes.wakeOnLanAddresses) {
        size_t grown = wol.size() + (wol.empty() ? 0 : 1) + mac.size();
        if (4 + grown > kMaxTxtEntryBytes) break;
        wol += (wol.empty() ? "" : ",") + mac;
    }
    if (!wol.empty()) txt.emplace_back("wol", std::move(wol));
    return txt;
}

BonjourAdvertiser::Routes BonjourAdvertiser::localRoutes() {
    auto table = platform::currentNetworkInterfaces();
    Routes routes;
    routes.records = VelantrixDiscovery::routeRecords(table);
    routes.wakeOnLanAddresses = VelantrixDiscovery::wakeOnLanAddresses(routes.records, table);
    return routes;
}
