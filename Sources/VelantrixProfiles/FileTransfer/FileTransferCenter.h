#pragma once
// The process-wide home of the transfer-progress window. For now it holds
// only whether new progress rows bring that window and the application to
// the front; the File Transfer window turns that off while it is in use.
// Main thread only.

class FileTransferCenter {
public:
    static FileTransferCenter& shared();

    // While true, adding a progress row activates the application and
    // brings the progress window to the front.
    bool autoPresentToFront = true;

private:
    FileTransferCenter() = default;
};
