#pragma once
// Checks a user name and password against the machine's account directory.

#include <map>
#include <mutex>
#include <string>

namespace platform {

enum class CredentialCheck {
    valid,
    invalid,      // the directory answered: wrong password, unknown or refused account
    unavailable,  // the directory could not be consulted at all
};

// One question to the directory. verify() blocks (a real directory can take
// seconds), so callers run it off the server queue. Safe to call from several
// threads at once.
class Directory {
public:
    virtual ~Directory();
    virtual CredentialCheck verify(const std::string& user, const std::string& password) = 0;
};

// The machine's accounts through PAM, service "norvessal-host", or the
// system's default service "other" when no "norvessal-host" file is
// installed. The password reaches PAM only through the conversation and is
// never logged.
//
// Verdicts: success of both pam_authenticate and pam_acct_mgmt is valid.
// A wrong password, an unknown user, an account that is refused, expired or
// whose password must first be changed (PAM_NEW_AUTHTOK_REQD: the change
// cannot be made from a remote login, and letting it through would bypass
// the expiry policy) is invalid. Everything else (pam_start failing, a
// module or configuration that cannot be loaded, a directory service that
// does not answer, credentials PAM itself lacks) is unavailable. A user name
// or password holding a NUL byte, or an empty user name, is invalid without
// asking PAM: the C interface would silently check a shorter string.
class PamDirectory : public Directory {
public:
    static constexpr const char* kServiceName = "norvessal-host";
    static constexpr const char* kFallbackServiceName = "other";

    // confDir empty: the system's PAM configuration. Otherwise a folder of
    // service files read instead of /etc/pam.d (tests keep a private one).
    explicit PamDirectory(std::string confDir = {});

    CredentialCheck verify(const std::string& user, const std::string& password) override;

    // The service name verify() starts PAM with, decided afresh per call so
    // that installing the service file takes effect without a restart.
    std::string serviceName() const;

private:
    // Folder given to pam_start_confdir; empty for the system configuration.
    const std::string confDir_;
};

// A directory held in memory, for tests.
class InMemoryDirectory : public Directory {
public:
    void setUser(const std::string& name, const std::string& password);
    // While set, every verify() answers unavailable (an unreachable directory).
    void setUnavailable(bool unavailable);

    CredentialCheck verify(const std::string& user, const std::string& password) override;

private:
    std::mutex mutex_;  // verify() runs on worker threads while tests set users
    std::map<std::string, std::string> passwords_;
    bool unavailable_ = false;
};

}  // namespace platform
