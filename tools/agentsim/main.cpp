// agentsim: plays many agents for the gateway's benchmark, on one event loop.
//
//   agentsim --agents N --commit-ms MS --agents-file FILE [--name PREFIX]
//
// Listens for each agent on 127.0.0.1 and a port the system picks, writes
// "PREFIX-NNNNN 127.0.0.1:PORT" a line to FILE (the gateway's agents file),
// prints "ready", and from SIGUSR1 on (so that a benchmark can first let
// every session open) commits one scan per agent every MS milliseconds
// (each agent at its own phase): "PREFIX-NNNNN SEQUENCE COMMIT-TIME", the
// commit time in milliseconds since 1970, so a subscriber can tell how long
// each scan took to reach the broker. SIGTERM or SIGINT end it with one line
// of counts on standard error.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "backoff.h"
#include "common/text_format.h"
#include "sim_agent.h"

using namespace agentsim;

int main(int argc, char** argv) {
    int agents = 0;
    long commitMs = 1000;
    std::string agentsFile;
    std::string prefix = "sim";
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--agents") {
            agents = std::atoi(argv[i + 1]);
        } else if (option == "--commit-ms") {
            commitMs = std::atol(argv[i + 1]);
        } else if (option == "--agents-file") {
            agentsFile = argv[i + 1];
        } else if (option == "--name") {
            prefix = argv[i + 1];
        } else {
            std::fprintf(stderr, "agentsim: unknown option %s\n", option.c_str());
            return 2;
        }
    }
    if (agents < 1 || commitMs < 0 || agentsFile.empty()) {
        std::fprintf(stderr,
                     "usage: agentsim --agents N --commit-ms MS --agents-file FILE "
                     "[--name PREFIX]\n");
        return 2;
    }

    EventLoop loop;
    SimCounters counters;
    vxgate::Jitter jitter;
    std::vector<std::unique_ptr<SimAgent>> sims;
    std::string error;
    if (!loop.handleSignals(
            {SIGTERM, SIGINT, SIGUSR1},
            [&](int number) {
                if (number != SIGUSR1) {
                    loop.stop();
                    return;
                }
                for (auto& sim : sims)
                    sim->startCommitting(jitter.between(Millis(0), Millis(commitMs)));
            },
            &error)) {
        std::fprintf(stderr, "agentsim: %s\n", error.c_str());
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    std::ofstream file(agentsFile);
    for (int n = 0; n < agents; ++n) {
        auto sim = std::make_unique<SimAgent>(
            loop, counters, formatText("%s-%05d", prefix.c_str(), n), Millis(commitMs));
        if (!sim->listen(&error)) {
            std::fprintf(stderr, "agentsim: %s\n", error.c_str());
            return 1;
        }
        file << sim->name() << " 127.0.0.1:" << sim->port() << "\n";
        sims.push_back(std::move(sim));
    }
    file.close();
    std::printf("ready\n");
    std::fflush(stdout);
    if (!loop.run()) return 1;
    std::fprintf(stderr,
                 "agentsim: %d agents, %lld sessions, %lld scans committed, %lld delivered, "
                 "%lld handed over again\n",
                 agents, counters.sessions, counters.committed, counters.delivered,
                 counters.requeued);
    return 0;
}
