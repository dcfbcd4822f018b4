// The pipe's view of the export list and the mount table, enumerated by the
// entries' own references (an export's identifier, a mount's own reference),
// never by addresses.
#pragma once
#include "quen/control/control_request.h"

uint32_t control_get_export(control_session& s, const control_request& r, uint8_t* reply);
uint32_t control_get_export_folder(control_session& s, const control_request& r, uint8_t* reply);
uint32_t control_get_export_name(control_session& s, const control_request& r, uint8_t* reply);
uint32_t control_get_export_clients(control_session& s, const control_request& r, uint8_t* reply);
uint32_t control_reload_exports(control_session& s, const control_request& r, uint8_t* reply);
uint32_t control_remove_export(control_session& s, const control_request& r, uint8_t* reply);
uint32_t control_get_mount(control_session& s, const control_request& r, uint8_t* reply);
uint32_t control_remove_mount(control_session& s, const control_request& r, uint8_t* reply);
