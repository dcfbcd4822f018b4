// Who runs the panel: the administrator tests of the window layer.
#pragma once

// The process token, or for a UAC-filtered token its linked full token, is
// a member of the built-in Administrators group (the server's test).
bool panel_is_administrator();
// The current token itself is a member: an administrator whose token is
// filtered fails this (the Service submenu is then not offered).
bool panel_token_is_administrator();
