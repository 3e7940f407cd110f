// qzb-unpack with the number of inflating threads chosen, for scripts/bench:
// qzb-bench-unpack THREADS <the arguments of qzb-unpack>
#include <cstdio>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/run.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: qzb-bench-unpack THREADS <QZB filename> <target directory> [/s] [/o]\n",
                   stderr);
        return 2;
    }
    const unsigned threads = static_cast<unsigned>(std::stoul(argv[1]));
    qzb::Console console = qzb::standardConsole();
    return qzb::run(std::vector<std::string>(argv + 2, argv + argc), console, threads);
}
