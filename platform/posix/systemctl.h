// systemctl, run directly (never through a shell), and its results as Win32
// errors.
#pragma once
#include "platform/posix/spawn.h"

#include <cstdint>
#include <initializer_list>
#include <string>

// Runs `systemctl` (a program name or path) with the arguments.
command_result systemctl_run(const std::string& systemctl, std::initializer_list<const char*> args);
// The Win32 view of systemctl's result.
uint32_t systemctl_error(const command_result& r);
