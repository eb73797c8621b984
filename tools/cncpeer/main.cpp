// cncpeer: plays the CNC Service's side of the agent's protocol from the
// command line; see peer_cli.h and "cncpeer --help".
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "peer_cli.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
#ifdef SIGPIPE
    // A closed pipe on standard output is a failed write to report, not a
    // silent end: the answer it carried must stay unacknowledged.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    WSADATA data;
    if (WSAStartup(0x0202, &data) != 0) {
        std::cerr << "cncpeer: cannot start Windows Sockets\n";
        return cncpeer::kExitConnect;
    }
    std::vector<std::string> args(argv + 1, argv + argc);
    int result = cncpeer::runCli(args, std::cout, std::cerr);
    WSACleanup();
    return result;
}
