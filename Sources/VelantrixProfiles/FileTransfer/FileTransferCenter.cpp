#include "VelantrixProfiles/FileTransfer/FileTransferCenter.h"

FileTransferCenter& FileTransferCenter::shared() {
    static FileTransferCenter center;
    return center;
}
