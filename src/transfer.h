// The guard around a transfer (identification read, download, upload, event download).
// While one runs, the nested event dispatch keeps the window live, but every command that
// could interfere is insensitive, and anything that still arrives is refused.
#pragma once

bool transfer_running();

class TransferGuard {
  public:
    TransferGuard();
    ~TransferGuard();
    TransferGuard(const TransferGuard&) = delete;
    TransferGuard& operator=(const TransferGuard&) = delete;
    // False when another transfer is already running: the caller must do nothing.
    bool acquired() const { return acquired_; }

  private:
    bool acquired_;
};

// Sensitivity of the commands outside a transfer: the file and help commands always, the
// device commands while connected.
void refresh_commands();
