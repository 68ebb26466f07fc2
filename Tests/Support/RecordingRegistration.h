#pragma once
// Keeps the server's DNS-SD advertisement off the network and records it.

#include <vector>

#include "Platform/Network/DnsServiceRegistration.h"

class RecordingRegistration : public platform::DnsServiceRegistration {
public:
    void publish(const platform::DnsServiceDescription& service) override { published.push_back(service); }
    void withdraw() override { withdrawals++; }
    std::vector<platform::DnsServiceDescription> published;
    int withdrawals = 0;
};
