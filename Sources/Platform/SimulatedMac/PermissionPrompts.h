#pragma once
// The system's permission prompts on the simulated machine. The prompting
// requests (Accessibility with the prompt option, Screen Recording's
// request) show a prompt when the permission is missing; the prompt holds
// the calling thread, and so its queue, until the simulated user answers
// as the policy a test set says: grant, deny, or leave the permission as it
// stands, after a delay, or never (until a test dismisses the prompt).
// Every request is counted, prompt or not.
//
// In the virtual runtime a waiting prompt runs the other queues' work in
// time order meanwhile, as the rest of the machine goes on while a prompt
// is up; the caller's queue stays held.

#include <map>
#include <mutex>

#include "Platform/SimulatedMac/SimulatedMachine.h"

namespace platform {

struct PermissionPromptPolicy {
    enum class Answer { asItStands, grant, deny, never };
    Answer answer = Answer::asItStands;
    // How long the prompt stays up before the answer.
    double delaySeconds = 0;
};

// Reached through SimulatedMachine::current().component<SimulatedPermissionPrompts>().
class SimulatedPermissionPrompts {
public:
    // A prompt nobody answers gives up after this long, so that a test that
    // forgot to dismiss it fails instead of running forever.
    static constexpr double kUnansweredPromptLimitSeconds = 86400;

    void setPolicy(Permission permission, PermissionPromptPolicy policy);
    // Prompting requests made for the permission, answered or not.
    int requestCount(Permission permission) const;
    // Prompts showing now.
    int waitingCount() const;
    // Ends every prompt now waiting with the permission as it stands.
    void dismissWaitingPrompts();

    // A prompting request: counted; when the permission is missing, the
    // prompt shows and holds the caller until answered. Returns the
    // permission then.
    bool request(Permission permission);

private:
    mutable std::mutex lock_;
    std::map<Permission, PermissionPromptPolicy> policies_;
    std::map<Permission, int> requests_;
    int waiting_ = 0;
    // Raised by each dismissal; a prompt ends when it changed.
    unsigned dismissals_ = 0;
};

}  // namespace platform
