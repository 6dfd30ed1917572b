// CRC-16/MODBUS: reflected polynomial 0xA001, initial value 0xFFFF, no final XOR.
// The low byte goes on the wire first.
#pragma once

#include <cstddef>
#include <cstdint>

uint16_t crc16_modbus(const uint8_t* data, size_t length);
// One step of the running CRC.
uint16_t crc16_modbus_1(uint16_t crc, uint8_t byte);
