#pragma once
// Whether the Host must relaunch itself for a Screen Recording grant to
// apply, and whether the user was asked or declined.

struct ScreenCaptureRelaunchState {
    // This process asked for Screen Recording and owes a relaunch once it
    // is granted (also kept in the user defaults, for a quit by macOS).
    bool pendingScreenCaptureRelaunch = false;
    // The restart prompt is up: at most one.
    bool screenCaptureRestartPromptVisible = false;
    // The user answered "Later": no relaunch for this process.
    bool screenCaptureRelaunchDeclined = false;
};
