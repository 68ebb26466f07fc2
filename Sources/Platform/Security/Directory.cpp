#include "Platform/Security/Directory.h"

#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace platform {

Directory::~Directory() = default;

namespace {

struct Credentials {
    const std::string* user;
    const std::string* password;
};

// Wipes and frees the first `count` answers and the array itself.
void freeResponses(pam_response* responses, int count) {
    for (int i = 0; i < count; ++i) {
        if (char* text = responses[i].resp) {
            // Volatile writes so the compiler cannot drop the wipe of a
            // buffer that is about to be freed.
            volatile char* p = text;
            while (*p) *p++ = 0;
            std::free(text);
        }
    }
    std::free(responses);
}

// Answers PAM's prompts from the credentials: the password for a hidden
// prompt, the user name for a visible one. Informational and error messages
// get no answer. Any other kind of prompt, or any allocation failure, fails
// the whole conversation with everything allocated so far released.
int converse(int count, const pam_message** messages, pam_response** out, void* appdata) {
    if (count <= 0 || count > PAM_MAX_NUM_MSG || !messages || !out || !appdata) return PAM_CONV_ERR;
    *out = nullptr;
    const auto* credentials = static_cast<const Credentials*>(appdata);
    auto* responses = static_cast<pam_response*>(std::calloc(static_cast<size_t>(count), sizeof(pam_response)));
    if (!responses) return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        const pam_message* message = messages[i];
        if (!message) {
            freeResponses(responses, i);
            return PAM_CONV_ERR;
        }
        const std::string* answer = nullptr;
        switch (message->msg_style) {
            case PAM_PROMPT_ECHO_OFF: answer = credentials->password; break;
            case PAM_PROMPT_ECHO_ON: answer = credentials->user; break;
            case PAM_ERROR_MSG:
            case PAM_TEXT_INFO: break;
            default:
                freeResponses(responses, i);
                return PAM_CONV_ERR;
        }
        if (answer) {
            responses[i].resp = strdup(answer->c_str());
            if (!responses[i].resp) {
                freeResponses(responses, i);
                return PAM_BUF_ERR;
            }
        }
        responses[i].resp_retcode = 0;
    }
    *out = responses;
    return PAM_SUCCESS;
}

bool isRefusal(int status) {
    switch (status) {
        case PAM_AUTH_ERR:
        case PAM_USER_UNKNOWN:
        case PAM_MAXTRIES:
        case PAM_PERM_DENIED:
        case PAM_ACCT_EXPIRED:
        case PAM_NEW_AUTHTOK_REQD:
        case PAM_AUTHTOK_EXPIRED:
            return true;
        default:
            return false;
    }
}

CredentialCheck verdict(int status) {
    if (status == PAM_SUCCESS) return CredentialCheck::valid;
    return isRefusal(status) ? CredentialCheck::invalid : CredentialCheck::unavailable;
}

}  // namespace

PamDirectory::PamDirectory(std::string confDir) : confDir_(std::move(confDir)) {}

std::string PamDirectory::serviceName() const {
    std::error_code ec;
    if (!confDir_.empty())
        return std::filesystem::exists(std::filesystem::path(confDir_) / kServiceName, ec) ? kServiceName
                                                                                            : kFallbackServiceName;
    for (const char* dir : {"/etc/pam.d", "/usr/lib/pam.d"}) {
        if (std::filesystem::exists(std::filesystem::path(dir) / kServiceName, ec)) return kServiceName;
    }
    return kFallbackServiceName;
}

CredentialCheck PamDirectory::verify(const std::string& user, const std::string& password) {
    if (user.empty() || user.find('\0') != std::string::npos || password.find('\0') != std::string::npos)
        return CredentialCheck::invalid;

    Credentials credentials{&user, &password};
    const pam_conv conversation{&converse, &credentials};
    const std::string service = serviceName();
    pam_handle_t* handle = nullptr;
    int status = confDir_.empty()
                     ? pam_start(service.c_str(), user.c_str(), &conversation, &handle)
                     : pam_start_confdir(service.c_str(), user.c_str(), &conversation, confDir_.c_str(), &handle);
    if (status != PAM_SUCCESS) {
        if (handle) pam_end(handle, status);
        return CredentialCheck::unavailable;
    }
    // PAM_SILENT: the conversation has no one to show messages to.
    status = pam_authenticate(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (status == PAM_SUCCESS) status = pam_acct_mgmt(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    pam_end(handle, status);
    return verdict(status);
}

void InMemoryDirectory::setUser(const std::string& name, const std::string& password) {
    std::lock_guard lock(mutex_);
    passwords_[name] = password;
}

void InMemoryDirectory::setUnavailable(bool unavailable) {
    std::lock_guard lock(mutex_);
    unavailable_ = unavailable;
}

CredentialCheck InMemoryDirectory::verify(const std::string& user, const std::string& password) {
    std::lock_guard lock(mutex_);
    if (unavailable_) return CredentialCheck::unavailable;
    const auto it = passwords_.find(user);
    return it != passwords_.end() && it->second == password ? CredentialCheck::valid : CredentialCheck::invalid;
}

}  // namespace platform
