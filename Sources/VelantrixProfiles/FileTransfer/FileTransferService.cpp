#include "VelantrixProfiles/FileTransfer/FileTransferService.h"

#include <algorithm>
#include <charconv>

#include "Platform/Files/Folders.h"
#include "Platform/Foundation/Json.h"
#include "Platform/Foundation/UnicodeText.h"
#include "Platform/Runtime/WorkLedger.h"

std::string FileTransferService::principalOf(const std::string& session) {
    if (auto ledger = platform::WorkLedger::current()) return ledger->owner();
    return session;
}

FileTransferService::FileTransferService(std::string peerLabel, int64_t chunkSize)
    : peerLabel_(std::move(peerLabel)), chunkSize_(chunkSize > 0 ? chunkSize : 1) {}

FileTransferService::~FileTransferService() = default;

namespace {

std::string oneDecimal(double value) {
    // to_chars ignores the C locale, so a comma locale still gets a full stop.
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
    return std::string(buffer, result.ptr);
}

}  // namespace

std::string FileTransferService::byteString(uint64_t bytes) {
    const auto b = static_cast<double>(bytes);
    if (b / 1'000'000.0 >= 1.0) return oneDecimal(b / 1'000'000.0) + " MB";
    return oneDecimal(b / 1024.0) + " KB";
}

FileTransferService::URL FileTransferService::lastPathComponent(const URL& url) {
    return url.filename().empty() ? url.parent_path().filename() : url.filename();
}

std::vector<std::string> FileTransferService::transferItemNames(const std::vector<URL>& urls) {
    std::vector<std::string> names;
    for (const auto& url : urls) {
        if (names.size() >= maxItemNames) break;
        auto name = platform::UnicodeText::trimmed(lastPathComponent(url).string());
        if (name.empty() || std::find(names.begin(), names.end(), name) != names.end()) continue;
        names.push_back(std::move(name));
    }
    return names;
}

std::vector<uint8_t> FileTransferService::encodeItemNames(const std::vector<std::string>& names) {
    if (names.empty()) return {};
    const auto text = platform::Json(names).dump(-1, ' ', false, platform::Json::error_handler_t::replace);
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<std::string> FileTransferService::decodeItemNames(std::span<const uint8_t> data) {
    if (data.empty()) return {};
    auto parsed = platform::parseJson(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    if (!parsed || !parsed->is_array()) return {};
    std::vector<std::string> names;
    for (const auto& item : *parsed) {
        if (!item.is_string()) return {};
        auto name = platform::UnicodeText::trimmed(item.get<std::string>());
        if (!name.empty()) names.push_back(std::move(name));
    }
    return names;
}

FileTransferService::URL FileTransferService::stagingRoot() const {
    // Made folder by folder without following links (see openStagingRoot).
    (void)openStagingRoot();
    return stagingRootPath();
}

FileTransferService::URL FileTransferService::stagingRootPath() const {
    return platform::Folders::caches() / "VelantrixFileInbox" / peerLabel_;
}

void FileTransferService::setWriteFailureForTesting(std::function<bool(const std::string&)> fails) {
    inboundQueue_.sync([&] { writeFailureForTesting_ = std::move(fails); });
}

void FileTransferService::status(const std::string& text) {
    if (auto hook = onStatus.get()) hook(text);
}

void FileTransferService::onMain(std::function<void(FileTransferService&)> body) {
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    platform::DispatchQueue::main().async([weak, body = std::move(body)] {
        if (auto self = weak.lock()) body(*self);
    });
}

bool FileTransferService::send(FileTransferPacket packet, const std::optional<std::string>& routingToken) {
    const auto op = packet.op;
    const auto batchID = packet.batchID;
    std::optional<bool> taken;
    if (auto routed = routedSendPacket.get()) {
        taken = routed(std::move(packet), routingToken);
    } else if (auto plain = sendPacket.get()) {
        taken = plain(std::move(packet));
    }
    // A batch nobody takes any more (its Viewer left) stops at its next
    // entry or chunk instead of reading the rest of its files for nothing;
    // one whose end was not taken did not complete either.
    const bool batchPacket = op == FileTransferOp::directSave || op == FileTransferOp::batchStart ||
                             op == FileTransferOp::batchIntent || op == FileTransferOp::mkdir ||
                             op == FileTransferOp::fileStart || op == FileTransferOp::fileChunk ||
                             op == FileTransferOp::fileEnd || op == FileTransferOp::batchEnd;
    if (taken == false && batchPacket) cancelOutgoingBatch(batchID);
    return taken.value_or(false);
}

void FileTransferService::notifyPeerCancel(const platform::UUID& batchID) {
    FileTransferPacket packet;
    packet.op = FileTransferOp::cancelBatch;
    packet.batchID = batchID;
    send(std::move(packet), std::nullopt);
}

