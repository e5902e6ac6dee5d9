// portal-sim: the campus gateway, portal servers, statistics and update servers on loopback, for
// the end-to-end tests and the demo. See --help.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <thread>

#include "CPortalSim.h"

int main(int argc, char** argv) {
    CSimOptions options;
    std::string error;
    if (!options.Parse(argc, argv, error)) {
        std::cerr << "portal-sim: " << error << "\n(see --help)\n";
        return 2;
    }
    if (options.helpRequested) {
        CSimOptions::PrintHelp(std::cout);
        return 0;
    }
    // Every thread inherits this mask; the main thread alone takes the stop signals with sigwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    CPortalSim sim(options);
    if (!sim.Init(error)) {
        std::cerr << "portal-sim: " << error << "\n";
        return 1;
    }
    std::cout << "portal-sim listening on " << options.listenAddr << ":" << sim.Port() << std::endl;
    bool runOk = true;
    std::thread listener([&] {
        runOk = sim.Run();
        // A listener that ends on its own (it could not re-open) ends the program as well.
        if (!runOk)
            kill(getpid(), SIGTERM);
    });
    int sig = 0;
    sigwait(&stopSignals, &sig);
    sim.Stop();
    listener.join();
    std::cout << "portal-sim stopped" << std::endl;
    return runOk ? 0 : 1;
}
