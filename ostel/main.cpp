// The portmapper daemon: installs, removes or runs the SunRPC Portmap Daemon
// service, or runs it in the console with -debug.
#include <cctype>
#include <cstdio>

#include "ostel/daemon.h"
#include "service/service_shell.h"

namespace {

const service_program kDaemon = {
    "OstelDaemon",
    "SunRPC Portmap Daemon",
    "Implements SunRPC PortMapper for NFS",
    ostel_run,
    ostel_stop,
};

bool is(const char* arg, const char* word) {
    for (; *arg && *word; ++arg, ++word)
        if (std::tolower(static_cast<unsigned char>(*arg)) != *word) return false;
    return *arg == *word;
}

void print_usage() {
    const char* n = "OSTEL";
    std::printf("%s -install <group> to install the service\n", n);
    std::printf("              <group> = Load order service group\n");
    std::printf("%s -remove          to remove the service\n", n);
    std::printf("%s -debug           to run the service as a console application\n", n);
    std::printf("\nStartServiceCtrlDispatcher being called.\n");
    std::printf("This may take several seconds.  Please wait.\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && is(argv[1], "-install")) {
        // A double-NUL-terminated list: the daemon only needs the network.
        return service_install(kDaemon, "", "tcpip\0", argc > 2 ? argv[2] : nullptr) ? 0 : 1;
    }
    if (argc > 1 && is(argv[1], "-remove")) {
        return service_remove(kDaemon) ? 0 : 1;
    }
    if (argc > 1 && is(argv[1], "-debug")) {
        return service_run_console(kDaemon, argc, argv);
    }
    print_usage();
    return service_run_dispatcher(kDaemon) ? service_exit_code() : 0;
}
