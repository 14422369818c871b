// Reaching the flash loader after the boot loader phase: switch-over, sync,
// device information, chip detection, connection test and baud rates.
#pragma once

#include <cstdint>

struct Session;

uint32_t TalkToFlashloader(Session* session);
uint32_t CheckConnection(Session* session, uint32_t currentPort, uint32_t port,
                         uint32_t* uartNumber);
uint32_t BaudRate(Session* session, uint32_t currentPort, uint32_t port, uint32_t rate);
