// systemd unit files for services: the name rules, the text written for a
// service's configuration, and their storage.
#pragma once
#include "platform/service.h"

#include <cstdint>
#include <string>

// Service names become unit names: letters, digits and "_.:-", starting with
// a letter, digit or "_" (no "@": that would name a template).
bool valid_service_name(const char* name);
// The unit text for a configuration. Result: a Win32 error.
uint32_t unit_text(const svc_config& c, std::string& text);
// Sets "key=value" in [section]: replaces the first such line there, or adds
// one after the section's last non-blank line.
std::string set_section_key(const std::string& text, const std::string& section, const std::string& key,
                            const std::string& value);
bool read_file(const std::string& path, std::string& out);
// Writes `text` as `path` in one step; when `exclusive`, fails with
// WIN_ERROR_SERVICE_EXISTS if the file exists. Result: a Win32 error.
uint32_t write_unit_file(const std::string& path, const std::string& text, bool exclusive);
