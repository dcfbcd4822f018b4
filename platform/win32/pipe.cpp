// The control pipe on Windows: a message-mode named pipe that refuses remote
// clients and admits local users only (its access list denies the network
// logon and lets ordinary users read and write but not make instances).
#include "platform/pipe.h"

#include <windows.h>
#include <sddl.h>

#include <new>

// The next instance exists before the last one is handed out, so a client
// never finds the name missing between two connections.
struct pipe_listener {
    HANDLE stop_event;
    HANDLE pending;   // the instance waiting for its client
};
struct pipe_conn {
    HANDLE h;
    HANDLE io_event;   // for the overlapped calls of the server side; null on the client side
};

namespace {

constexpr const wchar_t* kPipeName = L"\\\\.\\pipe\\tervalo_nfs_server";
// Deny network logons; SYSTEM and Administrators full; authenticated users
// read, write and attributes, without FILE_CREATE_PIPE_INSTANCE (0x4).
constexpr const wchar_t* kPipeAccess = L"D:(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;AU)";
constexpr DWORD kRejectRemoteClients = 0x00000008;   // PIPE_REJECT_REMOTE_CLIENTS, Vista and later
constexpr DWORD kTokenElevationType = 18;            // TOKEN_INFORMATION_CLASS values, Vista and later
constexpr DWORD kTokenLinkedToken = 19;
constexpr DWORD kElevationTypeLimited = 3;

// The first instance insists on being first, so that a process that took
// the name before the server started is found out instead of served to.
HANDLE create_instance(bool first) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeAccess, SDDL_REVISION_1, &sd, nullptr))
        return INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    const DWORD mode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
    const DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    HANDLE h = CreateNamedPipeW(kPipeName, open_mode, mode | kRejectRemoteClients,
                                PIPE_UNLIMITED_INSTANCES, 0, 0, 1000, &sa);
    // Windows XP knows no remote-client flag; the access list still denies network logons.
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER)
        h = CreateNamedPipeW(kPipeName, open_mode, mode, PIPE_UNLIMITED_INSTANCES,
                             0, 0, 1000, &sa);
    LocalFree(sd);
    return h;
}

// Finishes an overlapped call on the connection. Result: success, with the byte count.
bool finish(pipe_conn* c, OVERLAPPED* ov, BOOL started, DWORD* done) {
    if (!started && GetLastError() != ERROR_IO_PENDING) return false;
    return GetOverlappedResult(c->h, ov, done, TRUE) != 0;
}

bool token_is_admin(HANDLE token) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &admins))
        return false;
    HANDLE check = nullptr;
    BOOL member = FALSE;
    if (DuplicateToken(token, SecurityIdentification, &check)) {
        if (!CheckTokenMembership(check, admins, &member)) member = FALSE;
        CloseHandle(check);
    }
    FreeSid(admins);
    return member != FALSE;
}

// A filtered token of User Account Control: its user's full token decides.
bool user_is_admin(HANDLE token) {
    DWORD type = 0, len = 0;
    HANDLE linked = nullptr;
    if (GetTokenInformation(token, TOKEN_INFORMATION_CLASS(kTokenElevationType), &type, sizeof type, &len) &&
        type == kElevationTypeLimited &&
        !GetTokenInformation(token, TOKEN_INFORMATION_CLASS(kTokenLinkedToken), &linked, sizeof linked, &len))
        linked = nullptr;
    const bool admin = token_is_admin(linked ? linked : token);
    if (linked) CloseHandle(linked);
    return admin;
}

}  // namespace

const char* pipe_name() { return "\\\\.\\pipe\\tervalo_nfs_server"; }

bool pipe_self_is_admin() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &token)) return false;
    const bool admin = user_is_admin(token);
    CloseHandle(token);
    return admin;
}
const char* pipe_admin_group() { return "Administrators"; }

pipe_listener* pipe_listen() {
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!e) return nullptr;
    HANDLE first = create_instance(true);
    pipe_listener* l = first != INVALID_HANDLE_VALUE ? new (std::nothrow) pipe_listener{e, first} : nullptr;
    if (!l) {
        if (first != INVALID_HANDLE_VALUE) CloseHandle(first);
        CloseHandle(e);
    }
    return l;
}

pipe_conn* pipe_accept(pipe_listener* l) {
    if (l->pending == INVALID_HANDLE_VALUE || WaitForSingleObject(l->stop_event, 0) == WAIT_OBJECT_0) return nullptr;
    HANDLE h = l->pending;
    HANDLE io = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!io) return nullptr;
    OVERLAPPED ov{};
    ov.hEvent = io;
    bool connected = ConnectNamedPipe(h, &ov) != 0;
    if (!connected) {
        const DWORD err = GetLastError();
        if (err == ERROR_PIPE_CONNECTED) {
            connected = true;
        } else if (err == ERROR_IO_PENDING) {
            HANDLE waits[2] = {io, l->stop_event};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
                DWORD unused = 0;
                connected = GetOverlappedResult(h, &ov, &unused, FALSE) != 0;
            } else {
                CancelIo(h);
                DWORD unused = 0;
                GetOverlappedResult(h, &ov, &unused, TRUE);
                CloseHandle(io);
                return nullptr;   // the instance stays pending until the listener closes
            }
        }
    }
    if (!connected) {   // the client left at once: the instance serves the next one
        DisconnectNamedPipe(h);
        CloseHandle(io);
        return pipe_accept(l);
    }
    l->pending = create_instance(false);
    pipe_conn* c = new (std::nothrow) pipe_conn{h, io};
    if (!c) {
        CloseHandle(io);
        DisconnectNamedPipe(h);
        CloseHandle(h);
    }
    return c;
}

void pipe_listener_wake(pipe_listener* l) { SetEvent(l->stop_event); }

void pipe_listener_close(pipe_listener* l) {
    if (!l) return;
    if (l->pending != INVALID_HANDLE_VALUE) CloseHandle(l->pending);
    CloseHandle(l->stop_event);
    delete l;
}

int pipe_read_message(pipe_conn* c, void* buf, uint32_t cap) { return pipe_read_message_within(c, buf, cap, INFINITE); }

int pipe_read_message_within(pipe_conn* c, void* buf, uint32_t cap, uint32_t timeout_ms) {
    OVERLAPPED ov{};
    ov.hEvent = c->io_event;
    DWORD done = 0;
    const BOOL started = ReadFile(c->h, buf, cap, &done, &ov);
    if (!started && GetLastError() != ERROR_IO_PENDING) return -1;
    if (!started && WaitForSingleObject(c->io_event, timeout_ms) != WAIT_OBJECT_0) {
        // Nothing came in time: the read is taken back before the buffer goes.
        CancelIo(c->h);
        // A message may have arrived meanwhile: then it is read whole.
        if (!GetOverlappedResult(c->h, &ov, &done, TRUE)) return GetLastError() == ERROR_OPERATION_ABORTED ? 0 : -1;
        return done ? int(done) : -1;
    }
    // A message longer than cap fails with ERROR_MORE_DATA: the connection ends.
    if (!GetOverlappedResult(c->h, &ov, &done, TRUE) || done == 0) return -1;
    return int(done);
}

bool pipe_write_message(pipe_conn* c, const void* data, uint32_t size) {
    DWORD done = 0;
    if (!c->io_event) return WriteFile(c->h, data, size, &done, nullptr) && done == size;
    OVERLAPPED ov{};
    ov.hEvent = c->io_event;
    return finish(c, &ov, WriteFile(c->h, data, size, &done, &ov), &done) && done == size;
}

bool pipe_peer_is_admin(pipe_conn* c) {
    if (!ImpersonateNamedPipeClient(c->h)) return false;
    HANDLE token = nullptr;
    const BOOL opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_DUPLICATE, TRUE, &token);
    RevertToSelf();
    if (!opened) return false;
    const bool admin = user_is_admin(token);
    CloseHandle(token);
    return admin;
}

bool pipe_peer_user(pipe_conn* c, pipe_user* out) {
    // The client's process token, by the process id (Windows 6 and later);
    // else the client's own, by impersonation, which works only once a
    // message has been read.
    using client_pid_fn = BOOL(WINAPI*)(HANDLE, PULONG);
    static const auto client_pid = reinterpret_cast<client_pid_fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetNamedPipeClientProcessId")));
    HANDLE token = nullptr;
    ULONG pid = 0;
    if (client_pid && client_pid(c->h, &pid)) {
        constexpr DWORD kQueryLimited = 0x1000;   // PROCESS_QUERY_LIMITED_INFORMATION, Windows 6 and later
        HANDLE process = OpenProcess(kQueryLimited, FALSE, pid);
        if (!process) return false;
        const BOOL opened = OpenProcessToken(process, TOKEN_QUERY | TOKEN_DUPLICATE, &token);
        CloseHandle(process);
        if (!opened) return false;
    } else {
        if (!ImpersonateNamedPipeClient(c->h)) return false;
        const BOOL opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_DUPLICATE, TRUE, &token);
        RevertToSelf();
        if (!opened) return false;
    }
    union {
        TOKEN_USER user;
        BYTE bytes[256];
    } info;
    DWORD len = 0;
    char* sid = nullptr;
    const bool known = GetTokenInformation(token, TokenUser, &info, sizeof info, &len) &&
                       ConvertSidToStringSidA(info.user.User.Sid, &sid);
    if (known) {
        lstrcpynA(out->key, sid, int(sizeof out->key));
        LocalFree(sid);
        out->admin = user_is_admin(token);
    }
    CloseHandle(token);
    return known;
}

void pipe_close(pipe_conn* c) {
    if (!c) return;
    if (c->io_event) {
        FlushFileBuffers(c->h);
        DisconnectNamedPipe(c->h);
        CloseHandle(c->io_event);
    }
    CloseHandle(c->h);
    delete c;
}

pipe_conn* pipe_connect() {
    HANDLE h = CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY && WaitNamedPipeW(kPipeName, 1000))
        h = CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    DWORD mode = PIPE_READMODE_MESSAGE;
    pipe_conn* c = SetNamedPipeHandleState(h, &mode, nullptr, nullptr) ? new (std::nothrow) pipe_conn{h, nullptr}
                                                                       : nullptr;
    if (!c) CloseHandle(h);
    return c;
}

int pipe_transact(pipe_conn* c, const void* request, uint32_t size, void* reply, uint32_t cap) {
    DWORD got = 0;
    if (!TransactNamedPipe(c->h, const_cast<void*>(request), size, reply, cap, &got, nullptr)) return -1;
    return int(got);
}
