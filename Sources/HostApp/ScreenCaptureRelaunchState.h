#pragma once
// Whether the Host must relaunch itself for a Screen Recording grant to
// apply, and whether the user was asked or declined.

struct ScreenCaptureRelaunchState {
    bool pendingScreenCaptureRelaunch = false;
    bool screenCaptureRestartPromptVisible = false;
    bool screenCaptureRelaunchDeclined = false;
};
