#include "VelantrixProfiles/FileTransfer/FileTransferPeerSend.h"

#include <string_view>

#include "Platform/Foundation/Json.h"

namespace {

std::vector<uint8_t> bytesOf(const platform::Json& json) {
    const auto text = json.dump(-1, ' ', false, platform::Json::error_handler_t::replace);
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::optional<platform::Json> objectIn(std::span<const uint8_t> data) {
    auto parsed = platform::parseJson(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    if (!parsed || !parsed->is_object()) return std::nullopt;
    return std::move(*parsed);
}

}  // namespace

std::vector<uint8_t> FileTransferPeerSendRequest::encode() const {
    return bytesOf({{"sourcePaths", sourcePaths},
                    {"destination", destination},
                    {"deliveryOptionsRawValue", deliveryOptionsRawValue}});
}

std::optional<FileTransferPeerSendRequest> FileTransferPeerSendRequest::decode(std::span<const uint8_t> data) {
    if (data.size() > maxEncodedBytes) return std::nullopt;
    auto json = objectIn(data);
    if (!json) return std::nullopt;
    auto paths = json->find("sourcePaths");
    auto destination = json->find("destination");
    auto options = json->find("deliveryOptionsRawValue");
    if (paths == json->end() || !paths->is_array() || destination == json->end() || !destination->is_string() ||
        options == json->end() || !options->is_number_unsigned())
        return std::nullopt;
    FileTransferPeerSendRequest request;
    for (const auto& p : *paths) {
        if (!p.is_string()) return std::nullopt;
        request.sourcePaths.push_back(p.get<std::string>());
    }
    request.destination = destination->get<std::string>();
    request.deliveryOptionsRawValue = options->get<uint64_t>();
    return request;
}

std::vector<uint8_t> FileTransferPeerSendResponse::encode() const {
    platform::Json json = {{"accepted", accepted}};
    if (message) json["message"] = *message;
    return bytesOf(json);
}

std::optional<FileTransferPeerSendResponse> FileTransferPeerSendResponse::decode(std::span<const uint8_t> data) {
    auto json = objectIn(data);
    if (!json) return std::nullopt;
    auto accepted = json->find("accepted");
    if (accepted == json->end() || !accepted->is_boolean()) return std::nullopt;
    FileTransferPeerSendResponse response;
    response.accepted = accepted->get<bool>();
    if (auto message = json->find("message"); message != json->end()) {
        if (!message->is_string()) return std::nullopt;
        response.message = message->get<std::string>();
    }
    return response;
}
