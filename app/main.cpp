#include "app/platform.h"
#include "app/run.h"

int main(int argc, char** argv) {
    return qzb::run(qzb::platform::arguments(argc, argv));
}
