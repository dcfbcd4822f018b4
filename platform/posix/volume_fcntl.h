// glibc's <fcntl.h> declares a struct file_handle of its own (for
// name_to_handle_at); it is renamed here so that the holder of
// platform/file.h keeps its name. Include this before any other header.
#pragma once
#define file_handle linux_file_handle
#include <fcntl.h>
#undef file_handle
