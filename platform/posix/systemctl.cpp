#include "platform/posix/systemctl.h"

#include "platform/win_error.h"

#include <vector>

command_result systemctl_run(const std::string& systemctl, std::initializer_list<const char*> args) {
    std::vector<std::string> argv{systemctl};
    for (const char* a : args) argv.emplace_back(a);
    return run_program(argv);
}

// Its exit codes follow the LSB: 4 no permission, 5 no such unit, 6 unit masked.
uint32_t systemctl_error(const command_result& r) {
    if (!r.ran) return WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    switch (r.exit_code) {
    case 0: return WIN_ERROR_SUCCESS;
    case 4: return WIN_ERROR_ACCESS_DENIED;
    case 5: return WIN_ERROR_SERVICE_DOES_NOT_EXIST;
    case 6: return WIN_ERROR_SERVICE_DISABLED;
    default: return WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    }
}
