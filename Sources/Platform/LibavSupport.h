#pragma once
// What every user of FFmpeg's libraries in the platform layer shares: the
// text of an error code, and the libraries' log kept to errors.

#include <string>

namespace platform {

// av_strerror's text for a negative libav return value.
std::string libavErrorText(int code);
// The encoders' informational chatter would otherwise fill the Host's log.
// Idempotent.
void quietLibavLogging();

}  // namespace platform
