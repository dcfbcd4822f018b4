#include "platform/posix/service_error.h"

#include "platform/posix/errno_map.h"
#include "platform/service.h"
#include "platform/win_error.h"

#include <cerrno>
#include <cstring>

namespace {

// Service errors have no errno. One is kept here and errno is cleared, so
// sys_last_error reports it until a later failing call sets errno again, as
// a later failing Win32 call overwrites the last error.
thread_local uint32_t t_service_error = 0;


struct error_text {
    uint32_t error;
    const char* text;
};

// The English system messages for the errors this backend can give.
constexpr error_text kErrorTexts[] = {
    {WIN_ERROR_SUCCESS, "The operation completed successfully."},
    {WIN_ERROR_INVALID_FUNCTION, "Incorrect function."},
    {WIN_ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {WIN_ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {WIN_ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {WIN_ERROR_ACCESS_DENIED, "Access is denied."},
    {WIN_ERROR_INVALID_HANDLE, "The handle is invalid."},
    {WIN_ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {WIN_ERROR_INVALID_DATA, "The data is invalid."},
    {WIN_ERROR_NOT_SAME_DEVICE, "The system cannot move the file to a different disk drive."},
    {WIN_ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {WIN_ERROR_READ_FAULT, "The system cannot read from the specified device."},
    {WIN_ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {WIN_ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process."},
    {WIN_ERROR_LOCK_VIOLATION, "The process cannot access the file because another process has locked a portion of the file."},
    {WIN_ERROR_HANDLE_DISK_FULL, "The disk is full."},
    {WIN_ERROR_NOT_SUPPORTED, "The request is not supported."},
    {WIN_ERROR_FILE_EXISTS, "The file exists."},
    {WIN_ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {WIN_ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {WIN_ERROR_DISK_FULL, "There is not enough space on the disk."},
    {WIN_ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {WIN_ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {WIN_ERROR_DIR_NOT_EMPTY, "The directory is not empty."},
    {WIN_ERROR_NOT_LOCKED, "The segment is already unlocked."},
    {WIN_ERROR_BAD_PATHNAME, "The specified path is invalid."},
    {WIN_ERROR_BUSY, "The requested resource is in use."},
    {WIN_ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {WIN_ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {WIN_ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved."},
    {WIN_ERROR_MORE_DATA, "More data is available."},
    {WIN_ERROR_NO_MORE_ITEMS, "No more data is available."},
    {WIN_ERROR_OPERATION_ABORTED, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {WIN_ERROR_BADKEY, "The configuration registry key is invalid."},
    {WIN_ERROR_CANTOPEN, "The configuration registry key could not be opened."},
    {WIN_ERROR_CANTREAD, "The configuration registry key could not be read."},
    {WIN_ERROR_CANTWRITE, "The configuration registry key could not be written."},
    {WIN_ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {WIN_ERROR_DEPENDENT_SERVICES_RUNNING, "A stop control has been sent to a service that other running services are dependent on."},
    {WIN_ERROR_INVALID_SERVICE_CONTROL, "The requested control is not valid for this service."},
    {WIN_ERROR_SERVICE_REQUEST_TIMEOUT, "The service did not respond to the start or control request in a timely fashion."},
    {WIN_ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running."},
    {WIN_ERROR_SERVICE_DISABLED, "The service cannot be started, either because it is disabled or because it has no enabled devices "
           "associated with it."},
    {WIN_ERROR_SERVICE_DOES_NOT_EXIST, "The specified service does not exist as an installed service."},
    {WIN_ERROR_SERVICE_CANNOT_ACCEPT_CTRL, "The service cannot accept control messages at this time."},
    {WIN_ERROR_SERVICE_NOT_ACTIVE, "The service has not been started."},
    {WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, "The service process could not connect to the service controller."},
    {WIN_ERROR_PROCESS_ABORTED, "The process terminated unexpectedly."},
    {WIN_ERROR_SERVICE_MARKED_FOR_DELETE, "The specified service has been marked for deletion."},
    {WIN_ERROR_SERVICE_SPECIFIC_ERROR, "The service has returned a service-specific error code."},
    {WIN_ERROR_SERVICE_EXISTS, "The specified service already exists."},
    {WIN_ERROR_SERVICE_DEPENDENCY_DELETED, "The dependency service does not exist or has been marked for deletion."},
    {WIN_ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error."},
    {WIN_ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {WIN_ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system."},
};

}  // namespace

uint32_t set_service_error(uint32_t e) {
    t_service_error = e;
    errno = 0;
    return e;
}

uint32_t fail(uint32_t* error, uint32_t e) {
    if (error) *error = e;
    return set_service_error(e);
}

size_t copy_out(const std::string& s, char* out, size_t size) {
    if (!out || size == 0) return 0;
    if (s.size() + 1 > size) {
        out[0] = 0;
        return 0;
    }
    std::memcpy(out, s.c_str(), s.size() + 1);
    return s.size();
}

uint32_t sys_last_error() { return errno != 0 ? errno_to_win32(errno) : t_service_error; }

size_t sys_error_message(uint32_t error, char* out, size_t size) {
    for (const error_text& t : kErrorTexts)
        if (t.error == error) return copy_out(t.text, out, size);
    return copy_out("", out, size);
}
