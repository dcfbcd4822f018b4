#include "rpc/settings.h"

rpc_settings g_rpc_settings;
