#pragma once
// What the Host needs to know about the Mac's hardware.

struct HostHardware {
    // True on an Apple silicon Mac. Fixed for the life of a machine.
    static bool isAppleSilicon();
};
