// fake-resolvconf: plays the resolvconf program for the tests. Copied into a test's folder as
// "resolvconf"; appends each run to resolvconf.log beside itself: the arguments on one line,
// then what came on standard input. With resolvconf.fail beside it, it fails (status 1); with
// resolvconf.hang, it never ends by itself.
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
    const std::string self = argv[0];
    const std::string dir = self.substr(0, self.rfind('/') + 1);
    std::string line;
    for (int i = 1; i < argc; ++i)
        line += (i > 1 ? " " : "") + std::string(argv[i]);
    const std::string input((std::istreambuf_iterator<char>(std::cin)),
                            std::istreambuf_iterator<char>());
    std::ofstream(dir + "resolvconf.log", std::ios::app) << line << "\n" << input << std::flush;
    if (access((dir + "resolvconf.hang").c_str(), F_OK) == 0) {
        for (int i = 0; i < 600; ++i)  // ten minutes at most, killed long before
            sleep(1);
    }
    return access((dir + "resolvconf.fail").c_str(), F_OK) == 0 ? 1 : 0;
}
