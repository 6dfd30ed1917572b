// The subset of the FTDI D2XX interface that the link uses, implemented by this project on
// POSIX serial devices (bridge.cpp). The declarations follow D2XX so the engine reads like any
// other D2XX client; a handle is a bridge::Port, so tests can open a scripted one instead.
#pragma once

#include <cstdint>

namespace bridge {
class Port;
}

using FT_HANDLE = bridge::Port*;
using FT_STATUS = uint32_t;

// Statuses, with the values D2XX gives them.
constexpr FT_STATUS FT_OK = 0;
constexpr FT_STATUS FT_INVALID_HANDLE = 1;
constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
constexpr FT_STATUS FT_IO_ERROR = 4;
constexpr FT_STATUS FT_INVALID_PARAMETER = 6;
constexpr FT_STATUS FT_INVALID_BAUD_RATE = 7;
constexpr FT_STATUS FT_OTHER_ERROR = 18;

// FT_OpenEx flags. Only opening by product description is implemented.
constexpr uint32_t FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr uint32_t FT_OPEN_BY_DESCRIPTION = 2;

// FT_SetDataCharacteristics.
constexpr uint8_t FT_BITS_7 = 7;
constexpr uint8_t FT_BITS_8 = 8;
constexpr uint8_t FT_STOP_BITS_1 = 0;
constexpr uint8_t FT_STOP_BITS_2 = 2;
constexpr uint8_t FT_PARITY_NONE = 0;
constexpr uint8_t FT_PARITY_ODD = 1;
constexpr uint8_t FT_PARITY_EVEN = 2;

// FT_SetFlowControl.
constexpr uint16_t FT_FLOW_NONE = 0x0000;
constexpr uint16_t FT_FLOW_RTS_CTS = 0x0100;
constexpr uint16_t FT_FLOW_XON_XOFF = 0x0400;

// FT_Purge mask bits.
constexpr uint32_t FT_PURGE_RX = 1;
constexpr uint32_t FT_PURGE_TX = 2;

// Opens the device whose USB product string equals the description (flag
// FT_OPEN_BY_DESCRIPTION); when KELVRA_PORT names a serial device, opens that one instead.
FT_STATUS FT_OpenEx(void* arg, uint32_t flags, FT_HANDLE* handle);
FT_STATUS FT_SetBaudRate(FT_HANDLE handle, uint32_t baud);
FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t word_length, uint8_t stop_bits,
                                    uint8_t parity);
FT_STATUS FT_SetFlowControl(FT_HANDLE handle, uint16_t mode, uint8_t xon, uint8_t xoff);
FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask);
// Milliseconds; 0 means do not wait.
FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t read_timeout, uint32_t write_timeout);
// Writes what fits within the write timeout; *written tells how much.
FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, uint32_t count, uint32_t* written);
// Waits until count bytes are there or the read timeout expires; returns short on timeout.
FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* read);
FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t* queued);
// Releases the handle whatever the status.
FT_STATUS FT_Close(FT_HANDLE handle);
