// The server program: installs, removes or runs the NFS Server service, or
// runs it in the console with -debug.
#include "quen/server.h"
#include "service/service_shell.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

const service_program kServer = {
    "NFSserver",
    "NFS Server",
    "Implements a NFS Version 2/3 Server",
    server_run,
    server_stop,
};

bool is(const char* arg, const char* word) {
    for (; *arg && *word; ++arg, ++word)
        if (std::tolower(static_cast<unsigned char>(*arg)) != *word) return false;
    return *arg == *word;
}

void print_usage() {
    const char* n = "QUEN";
    std::printf("%s -install <name> <group> to install the service\n", n);
    std::printf("              <name>  = Name of Portmap service to wait for\n");
    std::printf("              <group> = Load order service group\n");
    std::printf("%s -remove                 to remove the service\n", n);
    std::printf("%s -debug                  to run as a console application, for debugging\n", n);
    std::printf("%s -debug -portmap         to run as a console application with built-in Portmapper\n", n);
    std::printf("\nStartServiceCtrlDispatcher being called.\n");
    std::printf("This may take several seconds.  Please wait.\n");
}

bool install(int argc, char** argv) {
    // Dependencies: a double-NUL-terminated list, "tcpip" unless a portmapper
    // service to wait for is named.
    char dependencies[256] = "tcpip";
    const char* suffix = "";
    if (argc > 2) {
        if (is(argv[2], "-portmap")) {
            suffix = " -portmap";
        } else {
            std::memset(dependencies, 0, sizeof dependencies);
            std::snprintf(dependencies, 255, "%.254s", argv[2]);
        }
    }
    return service_install(kServer, suffix, dependencies, argc > 3 ? argv[3] : nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    server_set_arguments(argc, argv);
    if (argc > 1 && is(argv[1], "-install")) {
        return install(argc, argv) ? 0 : 1;
    }
    if (argc > 1 && is(argv[1], "-remove")) {
        return service_remove(kServer) ? 0 : 1;
    }
    if (argc > 1 && is(argv[1], "-debug")) {
        return service_run_console(kServer, argc, argv);
    }
    print_usage();
    return service_run_dispatcher(kServer) ? service_exit_code() : 0;
}
