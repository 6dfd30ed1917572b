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

// Whether the device commands (Download, Upload, menu_events) are to be sensitive, as the
// connection state calls for. Applied at once outside a transfer, else when it ends.
void set_device_commands(bool sensitive);

// Gives the commands the sensitivity they have outside a transfer: the file and help commands
// and Connect always, the device commands as last set. Does nothing while a transfer runs.
void refresh_commands();
